#pragma once
// BER encoding (definite lengths) of the one request shape the client sends: a version-1 message holding
// one PDU with its variable bindings.

#include "snmp/snmp_message.h"

#include <cstdint>
#include <string_view>
#include <vector>

namespace telva {

// The request datagram for `query`: SEQUENCE { INTEGER version, OCTET STRING community, [pdu_type] {
// INTEGER request_id, INTEGER error_status, INTEGER error_index, SEQUENCE OF SEQUENCE { OBJECT IDENTIFIER
// name, value } } }. Each binding value is sent with its tag and the bytes of its text, one per character
// ('?' above U+00FF); a GetRequest's bindings carry empty OCTET STRINGs (04 00).
std::vector<std::uint8_t> EncodeMessage(const SnmpMessage& query);

// Appends a BER length: one byte below 128, otherwise 0x80 + the count of big-endian bytes that follow.
void AppendBerLength(std::vector<std::uint8_t>& out, std::size_t length);

// The content bytes of an OBJECT IDENTIFIER written as text. The text is cut into pieces at each "."; the
// first two pieces (0 when absent) give the first subidentifier 40a+b, every further piece one more.
// Each piece, blanks around it removed, is read as a signed 32-bit decimal (anything else is 0) and
// written in base 128 as its 32-bit two's-complement pattern.
std::vector<std::uint8_t> EncodeOidContent(std::string_view oid_text);

} // namespace telva
