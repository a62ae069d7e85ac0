#pragma once
// One TCP client connection with bounded waits, and the host-name resolver behind it. Errors carry the
// Windows Sockets error number and text on both builds, so log lines and messages read the same.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace telva::platform {

// Windows Sockets error numbers the client reports (POSIX errors are mapped onto them).
inline constexpr int kSocketTimedOut = 10060;
inline constexpr int kSocketHostNotFound = 11001;

// A socket or resolver failure; its message is "Socket Error # <code>\r\n<description>".
class SocketError : public std::runtime_error {
public:
    explicit SocketError(int code);
    int code() const { return code_; }

private:
    int code_;
};

class TcpConnection {
public:
    // Connects to `host` and `port`. `host` is a dotted IPv4 address, an IPv6 address without brackets,
    // or a name, of which the resolver's first IPv4 address is used. Waits at most `timeout_ms` for the
    // connection itself. Raises SocketError.
    static TcpConnection Connect(const std::string& host, std::uint16_t port, std::uint32_t timeout_ms);

    TcpConnection(TcpConnection&& other) noexcept;
    TcpConnection& operator=(TcpConnection&& other) noexcept;
    TcpConnection(const TcpConnection&) = delete;
    TcpConnection& operator=(const TcpConnection&) = delete;
    ~TcpConnection(); // closes the connection

    // Sends every byte. Each wait for the peer to take more lasts at most `idle_ms`, and no wait goes
    // past `deadline`. Raises SocketError (kSocketTimedOut when a wait expires).
    void SendAll(std::string_view bytes, std::uint32_t idle_ms,
                 std::chrono::steady_clock::time_point deadline);

    // Waits at most `timeout_ms` for bytes and stores up to `size` of them. Returns their count, 0 when the
    // peer has closed the connection. Raises SocketError (kSocketTimedOut when the wait expires).
    std::size_t Receive(char* buffer, std::size_t size, std::uint32_t timeout_ms);

private:
    explicit TcpConnection(std::uintptr_t socket) : socket_(socket) {}
    void Close() noexcept;

    std::uintptr_t socket_;
};

} // namespace telva::platform
