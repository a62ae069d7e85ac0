#include "platform/udp.h"

#include "platform/socket_errno.h"
#include "platform/socket_error_text.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace telva::platform {
namespace {

int LastCode() {
    return SocketCodeFromErrno(errno);
}

sockaddr_in MakeAddress(const Ipv4Address& address, std::uint16_t port) {
    sockaddr_in result{};
    result.sin_family = AF_INET;
    result.sin_port = htons(port);
    std::memcpy(&result.sin_addr, address.data(), address.size());
    return result;
}

// Empties the socket's error queue, where IP_RECVERR keeps the ICMP report behind an error.
void DrainErrorQueue(int fd) {
    std::uint8_t data[64];
    std::uint8_t control[512];
    for (int i = 0; i < 64; ++i) {
        iovec vector{data, sizeof data};
        msghdr message{};
        message.msg_iov = &vector;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        if (recvmsg(fd, &message, MSG_ERRQUEUE | MSG_DONTWAIT) < 0) {
            return;
        }
    }
}

} // namespace

UdpSocket::~UdpSocket() {
    Close();
}

bool UdpSocket::IsOpen() const {
    return handle_ >= 0;
}

int UdpSocket::Open() {
    Close();
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    if (fd < 0) {
        return LastCode();
    }
    const int off = 0;
    const int on = 1;
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &off, sizeof off) != 0 ||
        setsockopt(fd, IPPROTO_IP, IP_RECVERR, &on, sizeof on) != 0) {
        const int code = LastCode();
        close(fd);
        return code;
    }
    handle_ = fd;
    return 0;
}

int UdpSocket::Bind(std::uint16_t port, const Ipv4Address& local_address) {
    sockaddr_in local{};
    local.sin_family = AF_INET;
    std::memcpy(&local.sin_addr, local_address.data(), local_address.size());
    local.sin_port = htons(port);
    if (bind(static_cast<int>(handle_), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        return LastCode();
    }
    return 0;
}

std::uint16_t UdpSocket::LocalPort() const {
    sockaddr_in local{};
    socklen_t length = sizeof local;
    if (getsockname(static_cast<int>(handle_), reinterpret_cast<sockaddr*>(&local), &length) != 0) {
        return 0;
    }
    return ntohs(local.sin_port);
}

int UdpSocket::SendTo(const Ipv4Address& address, std::uint16_t port, const std::uint8_t* data,
                      std::size_t size, std::size_t& sent) {
    sent = 0;
    const sockaddr_in destination = MakeAddress(address, port);
    for (;;) {
        const ssize_t result = sendto(static_cast<int>(handle_), data, size, MSG_NOSIGNAL,
                                      reinterpret_cast<const sockaddr*>(&destination), sizeof destination);
        if (result >= 0) {
            sent = static_cast<std::size_t>(result);
            return 0;
        }
        if (errno == EINTR) {
            continue;
        }
        // With IP_RECVERR a send may report the refusal of an earlier datagram; that belongs to the
        // earlier exchange, not to this datagram, so it is cleared and the send repeated once.
        if (errno == ECONNREFUSED) {
            DrainErrorQueue(static_cast<int>(handle_));
            const ssize_t again = sendto(static_cast<int>(handle_), data, size, MSG_NOSIGNAL,
                                         reinterpret_cast<const sockaddr*>(&destination), sizeof destination);
            if (again >= 0) {
                sent = static_cast<std::size_t>(again);
                return 0;
            }
        }
        return LastCode();
    }
}

int UdpSocket::WaitReadable(std::int32_t timeout_ms, bool& ready) {
    ready = false;
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms < 0 ? 0 : timeout_ms);
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        pollfd entry{static_cast<int>(handle_), POLLIN, 0};
        const int result = poll(&entry, 1, left < 0 ? 0 : static_cast<int>(left));
        if (result > 0) {
            ready = true;
            return 0;
        }
        if (result == 0) {
            return 0;
        }
        if (errno != EINTR) {
            return LastCode();
        }
    }
}

int UdpSocket::ReceiveFrom(std::uint8_t* buffer, std::size_t capacity, std::size_t& received,
                           Ipv4Address* sender_address, std::uint16_t* sender_port) {
    received = 0;
    for (;;) {
        sockaddr_in sender{};
        socklen_t sender_length = sizeof sender;
        const ssize_t result = recvfrom(static_cast<int>(handle_), buffer, capacity, MSG_DONTWAIT | MSG_TRUNC,
                                        reinterpret_cast<sockaddr*>(&sender), &sender_length);
        if (result >= 0) {
            if (sender_address != nullptr) {
                std::memcpy(sender_address->data(), &sender.sin_addr, sender_address->size());
            }
            if (sender_port != nullptr) {
                *sender_port = ntohs(sender.sin_port);
            }
            if (static_cast<std::size_t>(result) > capacity) {
                return kWsaMessageSize; // the datagram is gone, as on Windows
            }
            received = static_cast<std::size_t>(result);
            return 0;
        }
        if (errno == EINTR) {
            continue;
        }
        const int error_number = errno;
        if (error_number == ECONNREFUSED || error_number == EHOSTUNREACH || error_number == ENETUNREACH) {
            DrainErrorQueue(static_cast<int>(handle_));
        }
        return error_number == ECONNREFUSED ? kWsaConnectionReset : SocketCodeFromErrno(error_number);
    }
}

void UdpSocket::Close() {
    if (handle_ >= 0) {
        close(static_cast<int>(handle_));
        handle_ = -1;
    }
}

} // namespace telva::platform
