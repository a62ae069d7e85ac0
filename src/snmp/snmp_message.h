#pragma once
// One SNMP version 1 message as the client sees it: the request it builds and the answer it decodes.

#include <cstdint>
#include <string>
#include <vector>

namespace telva {

// BER tags the client writes or names.
inline constexpr std::uint8_t kTagInteger = 0x02;
inline constexpr std::uint8_t kTagOctetString = 0x04;
inline constexpr std::uint8_t kTagNull = 0x05;
inline constexpr std::uint8_t kTagObjectId = 0x06;
inline constexpr std::uint8_t kTagSequence = 0x30;
inline constexpr std::uint8_t kTagIpAddress = 0x40;
inline constexpr std::uint8_t kTagCounter = 0x41;
inline constexpr std::uint8_t kTagGauge = 0x42;
inline constexpr std::uint8_t kTagTimeTicks = 0x43;
inline constexpr std::uint8_t kTagOpaque = 0x44;
inline constexpr std::uint8_t kTagCounter64 = 0x46;
inline constexpr std::uint8_t kPduGetRequest = 0xA0;
inline constexpr std::uint8_t kPduGetResponse = 0xA2;

inline constexpr std::uint16_t kSnmpPort = 161;

// The value of one variable binding: its text and the BER tag it came with (or is sent with).
struct SnmpValue {
    std::string text;
    std::uint8_t tag = kTagOctetString;

    bool operator==(const SnmpValue&) const = default;
};

// One variable binding: the identifier as dotted decimal text, and its value.
struct VariableBinding {
    std::string oid;
    SnmpValue value;

    bool operator==(const VariableBinding&) const = default;
};

struct SnmpMessage {
    std::string community;              // community name (UTF-8; one byte per character on the wire)
    std::vector<std::uint8_t> datagram; // the message as sent or received
    std::string host;                   // destination host of a request
    std::uint16_t port = kSnmpPort;     // destination port of a request
    std::int32_t version = 0;           // 0 is SNMPv1
    std::int32_t pdu_type = 0;          // BER tag of the PDU
    std::int32_t request_id = 0;
    std::int32_t error_status = 0;
    std::int32_t error_index = 0;
    std::vector<VariableBinding> bindings; // in message order
};

// Appends one variable binding.
void AddBinding(SnmpMessage& message, const std::string& oid, const std::string& text,
                std::uint8_t tag = kTagOctetString);

// The value text of the first binding whose identifier equals `oid` exactly; empty text when there is none.
std::string FindBindingText(const SnmpMessage& message, const std::string& oid);

} // namespace telva
