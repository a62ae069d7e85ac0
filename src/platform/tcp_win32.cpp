#include "platform/resolver.h"
#include "platform/tcp.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <cstring>

namespace telva::platform {
namespace {

constexpr std::uintptr_t kNoSocket = ~std::uintptr_t{0};

[[noreturn]] void ThrowLastError() {
    throw SocketError(WSAGetLastError());
}

SOCKET Handle(std::uintptr_t socket) {
    return static_cast<SOCKET>(socket);
}

enum class Wait { kRead, kWrite, kConnect };

// Waits for the socket to become ready for at most `timeout_ms`; raises on time-out or error.
void WaitFor(SOCKET socket, Wait wait, std::uint32_t timeout_ms) {
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
        ThrowLastError();
    }
    if (count == 0) {
        throw SocketError(kSocketTimedOut);
    }
    if (wait == Wait::kConnect && FD_ISSET(socket, &failed)) {
        int error = 0;
        int size = sizeof error;
        getsockopt(socket, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &size);
        throw SocketError(error != 0 ? error : WSAECONNREFUSED);
    }
}

sockaddr_storage ResolveAddress(const std::string& host, std::uint16_t port, int& length) {
    sockaddr_storage storage{};
    if (host.find(':') != std::string::npos) {
        sockaddr_in6 address{};
        address.sin6_family = AF_INET6;
        address.sin6_port = htons(port);
        if (inet_pton(AF_INET6, host.c_str(), &address.sin6_addr) != 1) {
            throw SocketError(kSocketHostNotFound);
        }
        std::memcpy(&storage, &address, sizeof address);
        length = sizeof address;
        return storage;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    if (inet_pton(AF_INET, host.c_str(), &address.sin_addr) != 1) {
        Ipv4Address first{};
        if (const int code = ResolveIpv4(host, first); code != 0) {
            throw SocketError(code);
        }
        std::memcpy(&address.sin_addr, first.data(), first.size());
    }
    std::memcpy(&storage, &address, sizeof address);
    length = sizeof address;
    return storage;
}

// Holds one Windows Sockets start-up until a connection takes it over.
class SocketsStartup {
public:
    SocketsStartup() {
        WSADATA data{};
        const int result = WSAStartup(MAKEWORD(2, 2), &data);
        if (result != 0) {
            throw SocketError(result);
        }
    }
    ~SocketsStartup() {
        if (held_) {
            WSACleanup();
        }
    }
    void Release() { held_ = false; }

private:
    bool held_ = true;
};

} // namespace

TcpConnection TcpConnection::Connect(const std::string& host, std::uint16_t port, std::uint32_t timeout_ms) {
    SocketsStartup startup;
    int length = 0;
    const sockaddr_storage address = ResolveAddress(host, port, length);
    const SOCKET socket = ::socket(address.ss_family, SOCK_STREAM, IPPROTO_TCP);
    if (socket == INVALID_SOCKET) {
        ThrowLastError();
    }
    startup.Release(); // the connection's Close ends the start-up from here on
    TcpConnection connection(static_cast<std::uintptr_t>(socket));
    u_long non_blocking = 1;
    if (ioctlsocket(socket, FIONBIO, &non_blocking) != 0) {
        ThrowLastError();
    }
    if (connect(socket, reinterpret_cast<const sockaddr*>(&address), length) != 0) {
        const int error = WSAGetLastError();
        if (error != WSAEWOULDBLOCK) {
            throw SocketError(error);
        }
        WaitFor(socket, Wait::kConnect, timeout_ms);
    }
    return connection;
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
        WSACleanup();
        socket_ = kNoSocket;
    }
}

void TcpConnection::SendAll(std::string_view bytes, std::uint32_t idle_ms,
                            std::chrono::steady_clock::time_point deadline) {
    while (!bytes.empty()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            throw SocketError(kSocketTimedOut);
        }
        WaitFor(Handle(socket_), Wait::kWrite,
                static_cast<std::uint32_t>(std::min<long long>(idle_ms, left.count())));
        const int piece = static_cast<int>(std::min<std::size_t>(bytes.size(), 1 << 20));
        const int sent = send(Handle(socket_), bytes.data(), piece, 0);
        if (sent == SOCKET_ERROR) {
            if (WSAGetLastError() == WSAEWOULDBLOCK) {
                continue;
            }
            ThrowLastError();
        }
        bytes.remove_prefix(static_cast<std::size_t>(sent));
    }
}

std::size_t TcpConnection::Receive(char* buffer, std::size_t size, std::uint32_t timeout_ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    const int piece = static_cast<int>(std::min<std::size_t>(size, 1 << 20));
    while (true) {
        const int received = recv(Handle(socket_), buffer, piece, 0);
        if (received != SOCKET_ERROR) {
            return static_cast<std::size_t>(received);
        }
        if (WSAGetLastError() != WSAEWOULDBLOCK) {
            ThrowLastError();
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            throw SocketError(kSocketTimedOut);
        }
        WaitFor(Handle(socket_), Wait::kRead, static_cast<std::uint32_t>(left.count()));
    }
}

} // namespace telva::platform
