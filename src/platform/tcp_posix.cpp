#include "platform/tcp.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <climits>
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

// Waits for `events` on the socket until `deadline`: 0 when ready, else the error or 10060.
int WaitFor(int descriptor, short events, const Deadline& deadline) {
    while (true) {
        const std::uint32_t wait = deadline.NextWaitMs();
        if (wait == 0) {
            return kWsaTimedOut;
        }
        pollfd entry{descriptor, events, 0};
        const int ready = poll(&entry, 1, static_cast<int>(std::min<std::uint32_t>(wait, INT_MAX)));
        if (ready > 0) {
            return 0;
        }
        if (ready < 0 && errno != EINTR) {
            return LastError();
        }
    }
}

} // namespace

int TcpConnection::Connect(const std::string& host, std::uint16_t port, const Deadline& deadline) {
    Close();
    if (deadline.Expired()) {
        return kWsaTimedOut;
    }
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
        if (const int code = WaitFor(descriptor, POLLOUT, deadline); code != 0) {
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

int TcpConnection::SendAll(std::string_view bytes, std::uint32_t idle_ms, const Deadline& deadline) {
    while (!bytes.empty()) {
        if (const int code = WaitFor(Descriptor(socket_), POLLOUT, deadline.Within(idle_ms)); code != 0) {
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

int TcpConnection::Receive(char* buffer, std::size_t size, const Deadline& deadline, std::size_t& received) {
    received = 0;
    while (true) {
        const ssize_t count = recv(Descriptor(socket_), buffer, size, 0);
        if (count >= 0) {
            received = static_cast<std::size_t>(count);
            return 0;
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            return LastError();
        }
        if (const int code = WaitFor(Descriptor(socket_), POLLIN, deadline); code != 0) {
            return code;
        }
    }
}

} // namespace telva::platform
