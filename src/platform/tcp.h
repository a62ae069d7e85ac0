#pragma once
// One TCP client connection with bounded waits. Every call returns 0 or a Windows Sockets error code
// (socket_error_text.h) on both builds, so log lines and messages read the same. Every wait ends by a
// Deadline, in single waits of Deadline::NextWaitMs, so a cut-off set by another thread ends it soon too.

#include "platform/deadline.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace telva::platform {

class TcpConnection {
public:
    TcpConnection() = default; // not connected
    TcpConnection(TcpConnection&& other) noexcept;
    TcpConnection& operator=(TcpConnection&& other) noexcept;
    TcpConnection(const TcpConnection&) = delete;
    TcpConnection& operator=(const TcpConnection&) = delete;
    ~TcpConnection(); // closes the connection

    // Connects to `host` and `port`. `host` is a dotted IPv4 address, an IPv6 address without brackets, or
    // a name, of which the resolver's first IPv4 address is used. The wait for the connection itself ends
    // by `deadline` (10060 when it has passed, also before anything is tried).
    int Connect(const std::string& host, std::uint16_t port, const Deadline& deadline);

    // Sends every byte. Each wait for the peer to take more lasts at most `idle_ms`, and no wait goes past
    // `deadline` (10060 when a wait expires).
    int SendAll(std::string_view bytes, std::uint32_t idle_ms, const Deadline& deadline);

    // Waits until `deadline` for bytes and stores up to `size` of them; `received` is their count, 0 when
    // the peer has closed the connection (10060 when the wait expires).
    int Receive(char* buffer, std::size_t size, const Deadline& deadline, std::size_t& received);

private:
    void Close() noexcept;

    std::uintptr_t socket_ = ~std::uintptr_t{0};
};

} // namespace telva::platform
