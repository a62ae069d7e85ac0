#include "snmp/snmp_client.h"

#include "platform/socket_error_text.h"
#include "snmp/ber_decode.h"
#include "snmp/ber_encode.h"
#include "snmp/host_address.h"
#include "snmp/snmp_error.h"

#include <algorithm>

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

void SnmpClient::RecordAsked(const platform::Ipv4Address& address, std::uint16_t port) {
    if (address != asked_address_ || port != asked_port_) {
        asked_.clear();
        asked_address_ = address;
        asked_port_ = port;
    }
    for (const VariableBinding& binding : request_.bindings) {
        if (std::find(asked_.begin(), asked_.end(), binding.oid) == asked_.end()) {
            asked_.push_back(binding.oid);
        }
    }
}

bool SnmpClient::IsLateAnswer() const {
    if (reply_.pdu_type != kPduGetResponse) {
        return false;
    }
    const auto names = [this](const std::string& oid) {
        return std::any_of(reply_.bindings.begin(), reply_.bindings.end(),
                           [&oid](const VariableBinding& binding) { return binding.oid == oid; });
    };
    const bool names_current =
        std::any_of(request_.bindings.begin(), request_.bindings.end(),
                    [&](const VariableBinding& binding) { return names(binding.oid); });
    return !names_current && std::any_of(asked_.begin(), asked_.end(), names);
}

bool SnmpClient::SendRequest() {
    reply_ = EmptyMessage(request_.host, request_.community);
    answered_ = false;
    refused_ = false;
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
    RecordAsked(address, request_.port);

    // One bounded wait; nothing is ever sent again.
    const auto wait_ms = static_cast<std::uint32_t>(std::max<std::int32_t>(timing_.receive_timeout_ms, 0));
    answered_ = AwaitAnswer(address, request_.port, Deadline::In(wait_ms));
    return answered_ && reply_.error_status == 0;
}

bool SnmpClient::AwaitAnswer(const platform::Ipv4Address& address, std::uint16_t port,
                             const Deadline& deadline) {
    receive_buffer_.resize(kReceiveBufferSize);
    for (;;) {
        bool ready = false;
        if (const int code =
                request_socket_.WaitReadable(static_cast<std::int32_t>(deadline.NextWaitMs()), ready);
            code != 0) {
            RaiseSocketError(code);
        }
        if (!ready) {
            if (deadline.Expired()) {
                return false;
            }
            continue;
        }
        std::size_t received = 0;
        platform::Ipv4Address sender{};
        std::uint16_t sender_port = 0;
        const int code = request_socket_.ReceiveFrom(receive_buffer_.data(), receive_buffer_.size(), received,
                                                     &sender, &sender_port);
        if (code == platform::kWsaConnectionReset) {
            refused_ = true; // the datagram was refused: no answer
            return false;
        }
        const bool from_printer = sender == address && sender_port == port;
        if (code == platform::kWsaWouldBlock) {
            continue; // nothing left to read after all
        }
        if (code != 0 && !(code == platform::kWsaMessageSize && !from_printer)) {
            RaiseSocketError(code);
        }
        if (!from_printer) {
            continue; // another sender's datagram, read or too long: not the answer
        }
        if (received == 0) {
            return false;
        }
        reply_.datagram.assign(receive_buffer_.begin(),
                               receive_buffer_.begin() + static_cast<std::ptrdiff_t>(received));
        DecodeMessage(reply_);
        if (!IsLateAnswer()) {
            return true;
        }
        reply_ = EmptyMessage(request_.host, request_.community);
    }
}

} // namespace telva
