#include "udp_responder.h"

#include "platform/sleep.h"

#include <chrono>
#include <stdexcept>

namespace telva::test {

UdpResponder::UdpResponder(platform::Ipv4Address address, Script script, std::uint16_t port,
                           std::optional<platform::Ipv4Address> other_address)
    : script_(std::move(script)) {
    if (socket_.Open() != 0 || socket_.Bind(port, address) != 0 || other_socket_.Open() != 0 ||
        other_socket_.Bind(0, other_address.value_or(address)) != 0) {
        throw std::runtime_error("responder sockets cannot be opened");
    }
    port_ = socket_.LocalPort();
    thread_ = std::thread([this] { Run(); });
}

UdpResponder::~UdpResponder() {
    stop_ = true;
    thread_.join();
}

std::vector<Bytes> UdpResponder::Requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

void UdpResponder::Run() {
    Bytes buffer(65536);
    int request_number = 0;
    while (!stop_) {
        bool ready = false;
        if (socket_.WaitReadable(50, ready) != 0 || !ready) {
            continue;
        }
        std::size_t received = 0;
        platform::Ipv4Address sender{};
        std::uint16_t sender_port = 0;
        if (socket_.ReceiveFrom(buffer.data(), buffer.size(), received, &sender, &sender_port) != 0) {
            continue;
        }
        const Bytes request(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(received));
        {
            std::lock_guard lock(mutex_);
            requests_.push_back(request);
        }
        const auto arrival = std::chrono::steady_clock::now();
        for (const ScriptedAnswer& answer : script_(request, request_number++)) {
            while (!stop_ &&
                   std::chrono::steady_clock::now() < arrival + std::chrono::milliseconds(answer.delay_ms)) {
                platform::SleepMilliseconds(5);
            }
            std::size_t sent = 0;
            platform::UdpSocket& from = answer.from_other_port ? other_socket_ : socket_;
            from.SendTo(sender, sender_port, answer.datagram.data(), answer.datagram.size(), sent);
        }
    }
}

std::uint16_t FreeUdpPort() {
    platform::UdpSocket probe;
    if (probe.Open() != 0 || probe.Bind(0) != 0) {
        throw std::runtime_error("no free UDP port");
    }
    return probe.LocalPort();
}

platform::Ipv4Address PeerAddress(std::uint8_t last) {
#ifdef _WIN32
    static_cast<void>(last);
    return {127, 0, 0, 1};
#else
    return {127, 0, 0, last};
#endif
}

std::string PeerAddressText(std::uint8_t last) {
    const platform::Ipv4Address address = PeerAddress(last);
    return std::to_string(address[0]) + "." + std::to_string(address[1]) + "." + std::to_string(address[2]) +
           "." + std::to_string(address[3]);
}

} // namespace telva::test
