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

enum class Wait { kRead, kWrite, kConnect };

// Waits for the socket to become ready until `deadline`: 0 when ready, else the error or 10060.
int WaitFor(SOCKET socket, Wait wait, const Deadline& deadline) {
    fd_set ready;
    fd_set failed;
    int count = 0;
    while (count == 0) {
        const std::uint32_t wait_ms = deadline.NextWaitMs();
        if (wait_ms == 0) {
            return kWsaTimedOut;
        }
        FD_ZERO(&ready);
        FD_ZERO(&failed);
        FD_SET(socket, &ready);
        FD_SET(socket, &failed);
        timeval limit{};
        limit.tv_sec = static_cast<long>(wait_ms / 1000);
        limit.tv_usec = static_cast<long>((wait_ms % 1000) * 1000);
        count = wait == Wait::kRead ? select(0, &ready, nullptr, &failed, &limit)
                                    : select(0, nullptr, &ready, &failed, &limit);
        if (count == SOCKET_ERROR) {
            return WSAGetLastError();
        }
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

int TcpConnection::Connect(const std::string& host, std::uint16_t port, const Deadline& deadline) {
    Close();
    if (deadline.Expired()) {
        return kWsaTimedOut;
    }
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
        return WaitFor(socket, Wait::kConnect, deadline);
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

int TcpConnection::SendAll(std::string_view bytes, std::uint32_t idle_ms, const Deadline& deadline) {
    while (!bytes.empty()) {
        if (const int code = WaitFor(Handle(socket_), Wait::kWrite, deadline.Within(idle_ms)); code != 0) {
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

int TcpConnection::Receive(char* buffer, std::size_t size, const Deadline& deadline, std::size_t& received) {
    received = 0;
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
        if (const int code = WaitFor(Handle(socket_), Wait::kRead, deadline); code != 0) {
            return code;
        }
    }
}

} // namespace telva::platform
