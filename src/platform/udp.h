#pragma once
// UDP sockets over IPv4. Every call returns 0 or a Windows Sockets error code
// (socket_error_text.h), on both builds.

#include "platform/resolver.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace telva::platform {

class UdpSocket {
public:
    UdpSocket() = default;
    ~UdpSocket();
    UdpSocket(const UdpSocket&) = delete;
    UdpSocket& operator=(const UdpSocket&) = delete;

    bool IsOpen() const;

    // Creates the socket with address reuse off. POSIX: ICMP errors are delivered on the socket
    // (IP_RECVERR), so a refused datagram is reported on receive as on Windows.
    int Open();

    // Binds to `port` (0: a port the system chooses) on the local address `local` (all addresses when
    // 0.0.0.0).
    int Bind(std::uint16_t port, const Ipv4Address& local = Ipv4Address{0, 0, 0, 0});

    // The local port the socket is bound to (0 when unknown).
    std::uint16_t LocalPort() const;

    // Sends one datagram; `sent` is the count of bytes the platform took.
    int SendTo(const Ipv4Address& address, std::uint16_t port, const std::uint8_t* data, std::size_t size,
               std::size_t& sent);

    // Waits at most `timeout_ms` milliseconds (negative counts as 0) until a datagram or a pending error
    // can be read. `ready` tells which.
    int WaitReadable(std::int32_t timeout_ms, bool& ready);

    // Receives one datagram from any sender without blocking. A datagram longer than `capacity` is
    // dropped and gives 10040; a refusal of an earlier datagram gives 10054; nothing waiting gives 10035.
    // The sender's address and port are stored where given, for a dropped datagram too.
    int ReceiveFrom(std::uint8_t* buffer, std::size_t capacity, std::size_t& received,
                    Ipv4Address* sender_address = nullptr, std::uint16_t* sender_port = nullptr);

    void Close();

private:
    std::intptr_t handle_ = -1;
};

} // namespace telva::platform
