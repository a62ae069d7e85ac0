#include "platform/tcp.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/socket_address.h"
#include "platform/socket_errno.h"

namespace telva::platform {
namespace {

constexpr std::uintptr_t kNoSocket = ~std::uintptr_t{0};

int LastError() {
    return SocketCodeFromErrno(errno);
}

int Descriptor(std::uintptr_t socket) {
    return static_cast<int>(socket);
}

std::int64_t MillisecondsLeft(std::chrono::steady_clock::time_point deadline) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now())
        .count();
}

// Waits for `events` on the socket for at most `timeout_ms`: 0 when ready, else the error or 10060.
int WaitFor(int descriptor, short events, std::uint32_t timeout_ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (true) {
        const std::int64_t left = MillisecondsLeft(deadline);
        if (left <= 0) {
            return kWsaTimedOut;
        }
        pollfd entry{descriptor, events, 0};
        const int ready = poll(&entry, 1, static_cast<int>(left));
        if (ready > 0) {
            return 0;
        }
        if (ready < 0 && errno != EINTR) {
            return LastError();
        }
    }
}

} // namespace

int TcpConnection::Connect(const std::string& host, std::uint16_t port, std::uint32_t timeout_ms) {
    Close();
    sockaddr_storage address{};
    socklen_t length = 0;
    if (const int code = BuildSocketAddress(host, port, address, length); code != 0) {
        return code;
    }
    const int descriptor = socket(address.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (descriptor < 0) {
        return LastError();
    }
    socket_ = static_cast<std::uintptr_t>(descriptor);
    const int flags = fcntl(descriptor, F_GETFL, 0);
    if (flags < 0 || fcntl(descriptor, F_SETFL, flags | O_NONBLOCK) < 0) {
        return LastError();
    }
    if (connect(descriptor, reinterpret_cast<const sockaddr*>(&address), length) != 0) {
        if (errno != EINPROGRESS && errno != EINTR) {
            return LastError();
        }
        if (const int code = WaitFor(descriptor, POLLOUT, timeout_ms); code != 0) {
            return code;
        }
        int error = 0;
        socklen_t size = sizeof error;
        if (getsockopt(descriptor, SOL_SOCKET, SO_ERROR, &error, &size) != 0) {
            return LastError();
        }
        if (error != 0) {
            return SocketCodeFromErrno(error);
        }
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
        close(Descriptor(socket_));
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
        if (const int code = WaitFor(Descriptor(socket_), POLLOUT, wait); code != 0) {
            return code;
        }
        const ssize_t sent = send(Descriptor(socket_), bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
                continue;
            }
            return LastError();
        }
        bytes.remove_prefix(static_cast<std::size_t>(sent));
    }
    return 0;
}

int TcpConnection::Receive(char* buffer, std::size_t size, std::uint32_t timeout_ms, std::size_t& received) {
    received = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (true) {
        const ssize_t count = recv(Descriptor(socket_), buffer, size, 0);
        if (count >= 0) {
            received = static_cast<std::size_t>(count);
            return 0;
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            return LastError();
        }
        const std::int64_t left = MillisecondsLeft(deadline);
        if (left <= 0) {
            return kWsaTimedOut;
        }
        if (const int code = WaitFor(Descriptor(socket_), POLLIN, static_cast<std::uint32_t>(left));
            code != 0) {
            return code;
        }
    }
}

} // namespace telva::platform
