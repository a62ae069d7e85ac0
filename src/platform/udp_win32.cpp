#include "platform/udp.h"

#include "platform/socket_error_text.h"
#include "platform/winsock_win32.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstring>

namespace telva::platform {
namespace {

// Windows Sockets stays started for the life of the process once a socket facility is first used.
SOCKET Handle(std::intptr_t handle) {
    return static_cast<SOCKET>(handle);
}

constexpr std::intptr_t kClosed = -1;

} // namespace

UdpSocket::~UdpSocket() {
    Close();
}

bool UdpSocket::IsOpen() const {
    return handle_ != kClosed;
}

int UdpSocket::Open() {
    Close();
    if (const int code = EnsureWinsock(); code != 0) {
        return code;
    }
    const SOCKET socket_handle = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (socket_handle == INVALID_SOCKET) {
        return WSAGetLastError();
    }
    const BOOL off = FALSE;
    if (setsockopt(socket_handle, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&off),
                   sizeof off) != 0) {
        const int code = WSAGetLastError();
        closesocket(socket_handle);
        return code;
    }
    u_long non_blocking = 1; // receives never block: the wait comes first and is bounded
    if (ioctlsocket(socket_handle, static_cast<long>(FIONBIO), &non_blocking) != 0) {
        const int code = WSAGetLastError();
        closesocket(socket_handle);
        return code;
    }
    handle_ = static_cast<std::intptr_t>(socket_handle);
    return 0;
}

int UdpSocket::Bind(std::uint16_t port, const Ipv4Address& local_address) {
    sockaddr_in local{};
    local.sin_family = AF_INET;
    std::memcpy(&local.sin_addr, local_address.data(), local_address.size());
    local.sin_port = htons(port);
    if (bind(Handle(handle_), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        return WSAGetLastError();
    }
    return 0;
}

std::uint16_t UdpSocket::LocalPort() const {
    sockaddr_in local{};
    int length = sizeof local;
    if (getsockname(Handle(handle_), reinterpret_cast<sockaddr*>(&local), &length) != 0) {
        return 0;
    }
    return ntohs(local.sin_port);
}

int UdpSocket::SendTo(const Ipv4Address& address, std::uint16_t port, const std::uint8_t* data,
                      std::size_t size, std::size_t& sent) {
    sent = 0;
    sockaddr_in destination{};
    destination.sin_family = AF_INET;
    destination.sin_port = htons(port);
    std::memcpy(&destination.sin_addr, address.data(), address.size());
    const int length = size > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(size);
    const int result = sendto(Handle(handle_), reinterpret_cast<const char*>(data), length, 0,
                              reinterpret_cast<const sockaddr*>(&destination), sizeof destination);
    if (result == SOCKET_ERROR) {
        return WSAGetLastError();
    }
    sent = static_cast<std::size_t>(result);
    return 0;
}

int UdpSocket::WaitReadable(std::int32_t timeout_ms, bool& ready) {
    ready = false;
    const std::int32_t wait = timeout_ms < 0 ? 0 : timeout_ms;
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(Handle(handle_), &readable);
    timeval limit{};
    limit.tv_sec = wait / 1000;
    limit.tv_usec = (wait % 1000) * 1000;
    const int result = select(0, &readable, nullptr, nullptr, &limit);
    if (result == SOCKET_ERROR) {
        return WSAGetLastError();
    }
    ready = result > 0;
    return 0;
}

int UdpSocket::ReceiveFrom(std::uint8_t* buffer, std::size_t capacity, std::size_t& received,
                           Ipv4Address* sender_address, std::uint16_t* sender_port) {
    received = 0;
    sockaddr_in sender{};
    int sender_length = sizeof sender;
    const int length = capacity > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(capacity);
    const int result = recvfrom(Handle(handle_), reinterpret_cast<char*>(buffer), length, 0,
                                reinterpret_cast<sockaddr*>(&sender), &sender_length);
    const int code = result == SOCKET_ERROR ? WSAGetLastError() : 0;
    // A datagram cut to the buffer (10040) still names its sender.
    if (code == 0 || code == WSAEMSGSIZE) {
        if (sender_address != nullptr) {
            std::memcpy(sender_address->data(), &sender.sin_addr, sender_address->size());
        }
        if (sender_port != nullptr) {
            *sender_port = ntohs(sender.sin_port);
        }
    }
    if (code != 0) {
        return code;
    }
    received = static_cast<std::size_t>(result);
    return 0;
}

void UdpSocket::Close() {
    if (handle_ != kClosed) {
        closesocket(Handle(handle_));
        handle_ = kClosed;
    }
}

} // namespace telva::platform
