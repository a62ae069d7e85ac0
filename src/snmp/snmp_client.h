#pragma once
// The SNMP version 1 client that reads one value per query: one GetRequest datagram to the printer's agent
// port, one bounded wait, and the printer's answer. Only a datagram from the address and port the query
// was sent to is an answer; one from anywhere else is dropped unread, and so is the printer's late answer
// to an earlier query of this client (a GetResponse naming an identifier asked before, and not the one
// asked now); the wait goes on for what is left of it. SNMP v1 carries nothing secret to check an answer
// by: a host on the path that forges the printer's address is not told apart.
// A client is made for one printer, used by one thread, and discarded; its two sockets (the request socket
// and the trap socket on the local trap port) are opened by the first query and closed with it. The trap
// socket is never read: when another program holds the trap port, the client goes on with the request
// socket alone, which is the one the answers come to.

#include "platform/deadline.h"
#include "platform/udp.h"
#include "snmp/snmp_message.h"
#include "snmp/snmp_timing.h"

#include <cstdint>
#include <string>
#include <vector>

namespace telva {

// Opens `socket` and binds it to the local trap `port`. False (and the socket closed) when the port is in
// use; throws SnmpError when no socket can be opened.
bool HoldTrapPort(platform::UdpSocket& socket, std::uint16_t port);

// The line a run writes, once, when the trap port is held by another program.
std::string TrapPortInUseLine(std::uint16_t port);

class SnmpClient {
public:
    static constexpr std::size_t kReceiveBufferSize = 8192;

    // `hold_trap_port` false: the client opens no trap socket (a caller that reads many printers at once
    // holds the one trap socket of the run itself).
    explicit SnmpClient(const SnmpTiming& timing = SnmpTiming(), bool hold_trap_port = true);
    ~SnmpClient();
    SnmpClient(const SnmpClient&) = delete;
    SnmpClient& operator=(const SnmpClient&) = delete;

    // Reads `oid` from `host`. True when an answer arrived with error-status 0: `value` is then the text of
    // its first binding named `oid` (empty text when it has none). False when no answer arrived or its
    // error-status is not 0: `value` is left as it was. Throws SnmpError when the host cannot be resolved, a
    // socket cannot be opened or bound, the datagram cannot be sent, or the receive fails other than by a
    // refusal.
    bool QueryValue(const std::string& oid, const std::string& community, const std::string& host,
                    std::string& value);

    // One exchange of request(): encode, send, wait for the answer, decode it into reply(). True when an
    // answer of at least one byte came and its error-status is 0. Throws as QueryValue.
    bool SendRequest();

    // The request of the current query, and the answer decoded for it (reset by every query: its
    // error-status is 0 until an answer has been decoded).
    SnmpMessage& request() { return request_; }
    const SnmpMessage& reply() const { return reply_; }
    std::int32_t error_status() const { return reply_.error_status; }
    // Whether the current query got an answer: a datagram of at least one byte, whatever its error-status.
    bool answered() const { return answered_; }
    // Whether the current query's wait was ended by a refusal of the datagram (nothing listens there).
    bool refused() const { return refused_; }

    // The waits and ports the next query uses.
    SnmpTiming& timing() { return timing_; }

    // Whether the trap port could not be bound because it is in use: the queries then go on without it.
    bool trap_port_in_use() const { return trap_port_in_use_; }

    // The local port of the request socket (0 while it is closed).
    std::uint16_t RequestPort() const;

private:
    SnmpMessage EmptyMessage(const std::string& host, const std::string& community) const;
    void OpenSockets();
    // Notes the identifiers of the current request as asked of `address`:`port`; a new destination starts
    // the record afresh.
    void RecordAsked(const platform::Ipv4Address& address, std::uint16_t port);
    // Waits for the answer from `address`:`port` into reply() until `deadline`. True when one came.
    bool AwaitAnswer(const platform::Ipv4Address& address, std::uint16_t port, const Deadline& deadline);
    // Whether the decoded reply() answers an earlier query of this client and not the current one.
    bool IsLateAnswer() const;

    SnmpTiming timing_;
    SnmpMessage request_;
    SnmpMessage reply_;
    bool answered_ = false;
    bool refused_ = false;
    // The identifiers asked so far of the destination below, the current request's among them.
    std::vector<std::string> asked_;
    platform::Ipv4Address asked_address_{};
    std::uint16_t asked_port_ = 0;
    bool hold_trap_port_ = true;
    bool trap_port_in_use_ = false;
    platform::UdpSocket request_socket_;
    platform::UdpSocket trap_socket_;
    std::vector<std::uint8_t> receive_buffer_;
};

} // namespace telva
