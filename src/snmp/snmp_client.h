#pragma once
// The SNMP version 1 client that reads one value per query: one GetRequest datagram to UDP port `Port`
// of the printer, one bounded wait, and the first datagram that comes back, from whatever sender.
// A client is made for one printer, used by one thread, and discarded; its two sockets (the request
// socket and the trap socket on local port `TrapPort`) are opened by the first query and closed with it.

#include "platform/udp.h"
#include "snmp/snmp_info.h"

#include <cstdint>
#include <string>
#include <vector>

namespace telva {

class SnmpClient {
public:
    static constexpr std::size_t kReceiveBufferSize = 8192;

    SnmpClient();
    ~SnmpClient();
    SnmpClient(const SnmpClient&) = delete;
    SnmpClient& operator=(const SnmpClient&) = delete;

    std::string Community;               // community name of the current query
    std::string Host;                    // printer address text of the current query
    std::uint16_t Port = kSnmpPort;      // destination UDP port
    std::uint16_t TrapPort = 162;        // local UDP port of the trap socket
    std::int32_t ReceiveTimeout = 10000; // longest wait for an answer, in milliseconds
    TSNMPInfo Query;
    TSNMPInfo Reply;

    // Reads `Mib` from `DestHost`. True when an answer arrived with error-status 0: `Value` is then the
    // text of its first binding named `Mib` (empty text when it has none). False when no answer arrived
    // or its error-status is not 0: `Value` is left as it was. Throws SnmpError when the host cannot be
    // resolved, a socket cannot be opened or bound, the datagram cannot be sent, or the receive fails
    // other than by a refusal.
    bool QuerySnmpValue(const std::string& Mib, const std::string& DestCommunity, const std::string& DestHost,
                        std::string& Value);

    // One exchange of `Query`: encode, send, wait, receive, decode into `Reply`. True when a datagram of at
    // least one byte came and its error-status is 0.
    bool SendQuery();

    // The local port of the request socket (0 while it is closed).
    std::uint16_t RequestPort() const;

private:
    TSNMPInfo EmptyMessage() const;
    void OpenSockets();

    platform::UdpSocket request_socket_;
    platform::UdpSocket trap_socket_;
    std::vector<std::uint8_t> receive_buffer_;
};

} // namespace telva
