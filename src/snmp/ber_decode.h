#pragma once
// Decoding of an answer datagram into an SnmpMessage. Any byte sequence is accepted: what does not fit is
// read as empty text, and the variable bindings end at the first item that does not fit. Nothing is read
// outside the given bytes.

#include "snmp/snmp_message.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace telva {

// Decodes `size` bytes at `data` into `reply`: version, community, pdu_type (the PDU's tag, 0 when it does
// not fit), request_id, error_status and error_index are set, and each decoded binding is appended to
// bindings.
void DecodeMessage(const std::uint8_t* data, std::size_t size, SnmpMessage& reply);

// Decodes reply.datagram into reply.
void DecodeMessage(SnmpMessage& reply);

// The text of one value by its BER tag: INTEGER signed (last four bytes), Counter/Gauge/TimeTicks
// unsigned (64-bit), OCTET STRING and Opaque byte = character, NULL empty, OBJECT IDENTIFIER and
// IpAddress dotted decimal, constructed tags "$" + two hex digits, any other tag as OCTET STRING.
std::string BerValueText(std::uint8_t tag, const std::uint8_t* content, std::size_t size);

} // namespace telva
