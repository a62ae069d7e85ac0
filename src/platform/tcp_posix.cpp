#include "platform/resolver.h"
#include "platform/socket_errno.h"
#include "platform/tcp.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace telva::platform {
namespace {

constexpr std::uintptr_t kNoSocket = ~std::uintptr_t{0};

[[noreturn]] void ThrowErrno() {
    throw SocketError(SocketCodeFromErrno(errno));
}

int Descriptor(std::uintptr_t socket) {
    return static_cast<int>(socket);
}

// Waits for `events` on the socket for at most `timeout_ms`; raises on time-out or error.
void WaitFor(int descriptor, short events, std::uint32_t timeout_ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (true) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            throw SocketError(kSocketTimedOut);
        }
        pollfd entry{descriptor, events, 0};
        const int ready = poll(&entry, 1, static_cast<int>(left.count()));
        if (ready > 0) {
            return;
        }
        if (ready < 0 && errno != EINTR) {
            ThrowErrno();
        }
    }
}

// The socket address for `host`: an IPv6 literal, a dotted IPv4 literal, or the first IPv4 address the
// resolver gives for a name.
sockaddr_storage ResolveAddress(const std::string& host, std::uint16_t port, socklen_t& length) {
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

} // namespace

TcpConnection TcpConnection::Connect(const std::string& host, std::uint16_t port, std::uint32_t timeout_ms) {
    socklen_t length = 0;
    const sockaddr_storage address = ResolveAddress(host, port, length);
    const int descriptor = socket(address.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (descriptor < 0) {
        ThrowErrno();
    }
    TcpConnection connection(static_cast<std::uintptr_t>(descriptor));
    const int flags = fcntl(descriptor, F_GETFL, 0);
    if (flags < 0 || fcntl(descriptor, F_SETFL, flags | O_NONBLOCK) < 0) {
        ThrowErrno();
    }
    if (connect(descriptor, reinterpret_cast<const sockaddr*>(&address), length) != 0) {
        if (errno != EINPROGRESS && errno != EINTR) {
            ThrowErrno();
        }
        WaitFor(descriptor, POLLOUT, timeout_ms);
        int error = 0;
        socklen_t size = sizeof error;
        if (getsockopt(descriptor, SOL_SOCKET, SO_ERROR, &error, &size) != 0) {
            ThrowErrno();
        }
        if (error != 0) {
            throw SocketError(SocketCodeFromErrno(error));
        }
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
        close(Descriptor(socket_));
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
        WaitFor(Descriptor(socket_), POLLOUT,
                static_cast<std::uint32_t>(std::min<long long>(idle_ms, left.count())));
        const ssize_t sent = send(Descriptor(socket_), bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
                continue;
            }
            ThrowErrno();
        }
        bytes.remove_prefix(static_cast<std::size_t>(sent));
    }
}

std::size_t TcpConnection::Receive(char* buffer, std::size_t size, std::uint32_t timeout_ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (true) {
        const ssize_t received = recv(Descriptor(socket_), buffer, size, 0);
        if (received >= 0) {
            return static_cast<std::size_t>(received);
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            ThrowErrno();
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            throw SocketError(kSocketTimedOut);
        }
        WaitFor(Descriptor(socket_), POLLIN, static_cast<std::uint32_t>(left.count()));
    }
}

} // namespace telva::platform
