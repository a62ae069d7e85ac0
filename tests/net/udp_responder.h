#pragma once
// A scripted SNMP peer for the client tests: a UDP socket on a loopback address that records every
// datagram it receives and answers each with the datagrams its script gives, optionally late or from a
// second socket (another port, or another address when one is given).

#include "platform/udp.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace telva::test {

using Bytes = std::vector<std::uint8_t>;

struct ScriptedAnswer {
    Bytes datagram;
    int delay_ms = 0;             // sent this long after the request arrived
    bool from_other_port = false; // sent from the responder's second socket
};

class UdpResponder {
public:
    using Script = std::function<std::vector<ScriptedAnswer>(const Bytes& request, int request_number)>;

    // Listens on `address` at `port` (0: a free port of the system's choosing); the second socket is bound
    // to `other_address` (`address` when not given) at a free port.
    UdpResponder(platform::Ipv4Address address, Script script, std::uint16_t port = 0,
                 std::optional<platform::Ipv4Address> other_address = std::nullopt);
    ~UdpResponder();
    UdpResponder(const UdpResponder&) = delete;
    UdpResponder& operator=(const UdpResponder&) = delete;

    std::uint16_t Port() const { return port_; }
    std::vector<Bytes> Requests() const;

private:
    void Run();

    platform::UdpSocket socket_;
    platform::UdpSocket other_socket_;
    std::uint16_t port_ = 0;
    Script script_;
    mutable std::mutex mutex_;
    std::vector<Bytes> requests_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// A local UDP port that was free a moment ago (bound to 0, read, released).
std::uint16_t FreeUdpPort();

// The loopback address a peer of these test programs listens on and answers from: 127.0.0.`last`, but
// 127.0.0.1 in the Windows build. Wine binds a UDP socket asked for another loopback address to every
// address, so its answers leave from 127.0.0.1, and the client takes an answer only from the address it
// asked; there the peers share 127.0.0.1, each on a port of its own.
platform::Ipv4Address PeerAddress(std::uint8_t last);
std::string PeerAddressText(std::uint8_t last);

} // namespace telva::test
