#include "platform/tcp.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>

#include "platform/socket_address.h"
#include "platform/winsock_win32.h"

namespace telva::platform {
namespace {

constexpr std::uintptr_t kNoSocket = ~std::uintptr_t{0};

SOCKET Handle(std::uintptr_t socket) {
    return static_cast<SOCKET>(socket);
}

std::int64_t MillisecondsLeft(std::chrono::steady_clock::time_point deadline) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now())
        .count();
}

enum class Wait { kRead, kWrite, kConnect };

// Waits for the socket to become ready for at most `timeout_ms`: 0 when ready, else the error or 10060.
int WaitFor(SOCKET socket, Wait wait, std::uint32_t timeout_ms) {
    fd_set ready;
    fd_set failed;
    FD_ZERO(&ready);
    FD_ZERO(&failed);
    FD_SET(socket, &ready);
    FD_SET(socket, &failed);
    timeval limit{};
    limit.tv_sec = static_cast<long>(timeout_ms / 1000);
    limit.tv_usec = static_cast<long>((timeout_ms % 1000) * 1000);
    const int count = wait == Wait::kRead ? select(0, &ready, nullptr, &failed, &limit)
                                          : select(0, nullptr, &ready, &failed, &limit);
    if (count == SOCKET_ERROR) {
        return WSAGetLastError();
    }
    if (count == 0) {
        return kWsaTimedOut;
    }
    if (wait == Wait::kConnect && FD_ISSET(socket, &failed)) {
        int error = 0;
        int size = sizeof error;
        getsockopt(socket, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &size);
        return error != 0 ? error : WSAECONNREFUSED;
    }
    return 0;
}

} // namespace

int TcpConnection::Connect(const std::string& host, std::uint16_t port, std::uint32_t timeout_ms) {
    Close();
    if (const int code = EnsureWinsock(); code != 0) {
        return code;
    }
    sockaddr_storage address{};
    int length = 0;
    if (const int code = BuildSocketAddress(host, port, address, length); code != 0) {
        return code;
    }
    const SOCKET socket = ::socket(address.ss_family, SOCK_STREAM, IPPROTO_TCP);
    if (socket == INVALID_SOCKET) {
        return WSAGetLastError();
    }
    socket_ = static_cast<std::uintptr_t>(socket);
    u_long non_blocking = 1;
    if (ioctlsocket(socket, static_cast<long>(FIONBIO), &non_blocking) != 0) {
        return WSAGetLastError();
    }
    if (connect(socket, reinterpret_cast<const sockaddr*>(&address), length) != 0) {
        const int error = WSAGetLastError();
        if (error != WSAEWOULDBLOCK) {
            return error;
        }
        return WaitFor(socket, Wait::kConnect, timeout_ms);
    }
    return 0;
}

TcpConnection::TcpConnection(TcpConnection&& other) noexcept : socket_(other.socket_) {
    other.socket_ = kNoSocket;
}

TcpConnection& TcpConnection::operator=(TcpConnection&& other) noexcept {
    if (this != &other) {
        Close();
        socket_ = other.socket_;
        other.socket_ = kNoSocket;
    }
    return *this;
}

TcpConnection::~TcpConnection() {
    Close();
}

void TcpConnection::Close() noexcept {
    if (socket_ != kNoSocket) {
        closesocket(Handle(socket_));
        socket_ = kNoSocket;
    }
}

int TcpConnection::SendAll(std::string_view bytes, std::uint32_t idle_ms,
                           std::chrono::steady_clock::time_point deadline) {
    while (!bytes.empty()) {
        const std::int64_t left = MillisecondsLeft(deadline);
        if (left <= 0) {
            return kWsaTimedOut;
        }
        const auto wait = static_cast<std::uint32_t>(std::min<std::int64_t>(idle_ms, left));
        if (const int code = WaitFor(Handle(socket_), Wait::kWrite, wait); code != 0) {
            return code;
        }
        const int piece = static_cast<int>(std::min<std::size_t>(bytes.size(), 1 << 20));
        const int sent = send(Handle(socket_), bytes.data(), piece, 0);
        if (sent == SOCKET_ERROR) {
            if (WSAGetLastError() == WSAEWOULDBLOCK) {
                continue;
            }
            return WSAGetLastError();
        }
        bytes.remove_prefix(static_cast<std::size_t>(sent));
    }
    return 0;
}

int TcpConnection::Receive(char* buffer, std::size_t size, std::uint32_t timeout_ms, std::size_t& received) {
    received = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    const int piece = static_cast<int>(std::min<std::size_t>(size, 1 << 20));
    while (true) {
        const int count = recv(Handle(socket_), buffer, piece, 0);
        if (count != SOCKET_ERROR) {
            received = static_cast<std::size_t>(count);
            return 0;
        }
        if (WSAGetLastError() != WSAEWOULDBLOCK) {
            return WSAGetLastError();
        }
        const std::int64_t left = MillisecondsLeft(deadline);
        if (left <= 0) {
            return kWsaTimedOut;
        }
        if (const int code = WaitFor(Handle(socket_), Wait::kRead, static_cast<std::uint32_t>(left));
            code != 0) {
            return code;
        }
    }
}

} // namespace telva::platform
