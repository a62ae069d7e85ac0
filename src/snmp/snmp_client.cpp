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

SnmpClient::SnmpClient() : Query(EmptyMessage()), Reply(EmptyMessage()) {}

SnmpClient::~SnmpClient() = default;

TSNMPInfo SnmpClient::EmptyMessage() const {
    TSNMPInfo message;
    message.Community = Community;
    message.Host = Host;
    message.Port = Port;
    return message;
}

std::uint16_t SnmpClient::RequestPort() const {
    return request_socket_.IsOpen() ? request_socket_.LocalPort() : 0;
}

bool SnmpClient::QuerySnmpValue(const std::string& Mib, const std::string& DestCommunity,
                                const std::string& DestHost, std::string& Value) {
    Community = DestCommunity;
    Host = DestHost;
    Query = EmptyMessage();
    Query.PDUType = kPduGetRequest;
    MIBAdd(Query, Mib, "", kTagOctetString);
    const bool ok = SendQuery();
    if (ok) {
        Value = MIBGet(Reply, Mib);
    }
    return ok;
}

void SnmpClient::OpenSockets() {
    if (!request_socket_.IsOpen()) {
        OpenBound(request_socket_, 0);
    }
    if (!trap_socket_.IsOpen()) {
        OpenBound(trap_socket_, TrapPort);
    }
}

bool SnmpClient::SendQuery() {
    Reply = EmptyMessage();
    Query.Buffer = EncodeBuf(Query);

    platform::Ipv4Address address{};
    if (const int code = ResolveHostAddress(Query.Host, address); code != 0) {
        RaiseSocketError(code);
    }
    OpenSockets();

    std::size_t sent = 0;
    if (const int code =
            request_socket_.SendTo(address, Port, Query.Buffer.data(), Query.Buffer.size(), sent);
        code != 0) {
        if (code == platform::kWsaMessageSize) {
            throw SnmpError(kPackageTooBigMessage);
        }
        RaiseSocketError(code);
    }
    if (sent < Query.Buffer.size()) {
        throw SnmpError(kNotAllSentMessage);
    }

    // One bounded wait; nothing is ever sent again.
    bool ready = false;
    if (const int code = request_socket_.WaitReadable(ReceiveTimeout, ready); code != 0) {
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
    Reply.Buffer.assign(receive_buffer_.begin(),
                        receive_buffer_.begin() + static_cast<std::ptrdiff_t>(received));
    DecodeBuf(Reply);
    return Reply.ErrorStatus == 0;
}

} // namespace telva
