#include "snmp/snmp_client.h"

#include "platform/socket_error_text.h"
#include "snmp/ber_decode.h"
#include "snmp/ber_encode.h"
#include "snmp/host_address.h"
#include "snmp/snmp_error.h"

namespace telva {
namespace {

[[noreturn]] void RaiseSocketError(int code) {
    throw SnmpError(platform::SocketErrorMessage(code));
}

// Opens `socket` and binds it to `port`; a socket that cannot be bound is closed again.
void OpenBound(platform::UdpSocket& socket, std::uint16_t port) {
    if (const int code = socket.Open(); code != 0) {
        RaiseSocketError(code);
    }
    if (socket.Bind(port) != 0) {
        socket.Close();
        throw SnmpError(kBindErrorMessage);
    }
}

} // namespace

bool HoldTrapPort(platform::UdpSocket& socket, std::uint16_t port) {
    if (const int code = socket.Open(); code != 0) {
        RaiseSocketError(code);
    }
    if (socket.Bind(port) != 0) {
        socket.Close();
        return false;
    }
    return true;
}

std::string TrapPortInUseLine(std::uint16_t port) {
    return "Port " + std::to_string(port) + " is held by another program; printers are read without it";
}

SnmpClient::SnmpClient(const SnmpTiming& timing, bool hold_trap_port)
    : timing_(timing), request_(EmptyMessage("", "")), reply_(EmptyMessage("", "")),
      hold_trap_port_(hold_trap_port) {}

SnmpClient::~SnmpClient() = default;

SnmpMessage SnmpClient::EmptyMessage(const std::string& host, const std::string& community) const {
    SnmpMessage message;
    message.community = community;
    message.host = host;
    message.port = timing_.agent_port;
    return message;
}

std::uint16_t SnmpClient::RequestPort() const {
    return request_socket_.IsOpen() ? request_socket_.LocalPort() : 0;
}

bool SnmpClient::QueryValue(const std::string& oid, const std::string& community, const std::string& host,
                            std::string& value) {
    request_ = EmptyMessage(host, community);
    request_.pdu_type = kPduGetRequest;
    AddBinding(request_, oid, "", kTagOctetString);
    const bool ok = SendRequest();
    if (ok) {
        value = FindBindingText(reply_, oid);
    }
    return ok;
}

void SnmpClient::OpenSockets() {
    if (!request_socket_.IsOpen()) {
        OpenBound(request_socket_, 0);
    }
    // The trap socket is held while it can be; once its port turned out taken, the client does not try
    // again.
    if (hold_trap_port_ && !trap_port_in_use_ && !trap_socket_.IsOpen()) {
        trap_port_in_use_ = !HoldTrapPort(trap_socket_, timing_.trap_port);
    }
}

bool SnmpClient::SendRequest() {
    reply_ = EmptyMessage(request_.host, request_.community);
    answered_ = false;
    request_.datagram = EncodeMessage(request_);

    platform::Ipv4Address address{};
    if (const int code = ResolveHostAddress(request_.host, address); code != 0) {
        RaiseSocketError(code);
    }
    OpenSockets();

    std::size_t sent = 0;
    const std::vector<std::uint8_t>& datagram = request_.datagram;
    if (const int code =
            request_socket_.SendTo(address, request_.port, datagram.data(), datagram.size(), sent);
        code != 0) {
        if (code == platform::kWsaMessageSize) {
            throw SnmpError(kPackageTooBigMessage);
        }
        RaiseSocketError(code);
    }
    if (sent < datagram.size()) {
        throw SnmpError(kNotAllSentMessage);
    }

    // One bounded wait; nothing is ever sent again.
    bool ready = false;
    if (const int code = request_socket_.WaitReadable(timing_.receive_timeout_ms, ready); code != 0) {
        RaiseSocketError(code);
    }
    if (!ready) {
        return false;
    }
    receive_buffer_.resize(kReceiveBufferSize);
    std::size_t received = 0;
    if (const int code =
            request_socket_.ReceiveFrom(receive_buffer_.data(), receive_buffer_.size(), received);
        code != 0) {
        if (code == platform::kWsaConnectionReset || code == platform::kWsaWouldBlock) {
            return false; // a refusal of the datagram (or nothing left to read): no answer
        }
        RaiseSocketError(code);
    }
    if (received == 0) {
        return false;
    }
    answered_ = true;
    reply_.datagram.assign(receive_buffer_.begin(),
                           receive_buffer_.begin() + static_cast<std::ptrdiff_t>(received));
    DecodeMessage(reply_);
    return reply_.error_status == 0;
}

} // namespace telva
