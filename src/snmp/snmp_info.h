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

inline constexpr std::uint16_t kSnmpPort = 161;

// The value of one variable binding: its text and the BER tag it came with (or is sent with).
struct TSNMPValue {
    std::string Text;
    std::uint8_t Tag = kTagOctetString;

    bool operator==(const TSNMPValue&) const = default;
};

struct TSNMPInfo {
    std::string Community;            // community name (UTF-8; one byte per character on the wire)
    std::vector<std::uint8_t> Buffer; // the message as a datagram
    std::string Host;                 // destination host of a request
    std::uint16_t Port = kSnmpPort;   // destination port of a request
    std::int32_t Version = 0;         // 0 is SNMPv1
    std::int32_t PDUType = 0;         // BER tag of the PDU
    std::int32_t ID = 0;              // request-id
    std::int32_t ErrorStatus = 0;
    std::int32_t ErrorIndex = 0;
    std::vector<std::string> MIBOID;  // binding names, dotted decimal, in message order
    std::vector<TSNMPValue> MIBValue; // binding values, same length and order as MIBOID
};

// Appends one variable binding.
void MIBAdd(TSNMPInfo& message, const std::string& oid, const std::string& value,
            std::uint8_t tag = kTagOctetString);

// The value text of the first binding whose name equals `oid` exactly; empty text when there is none.
std::string MIBGet(const TSNMPInfo& message, const std::string& oid);

} // namespace telva
