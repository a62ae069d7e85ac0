#pragma once
// BER building blocks for crafted SNMP answers.

#include "udp_responder.h"

#include "snmp/ber_encode.h"

#include <initializer_list>
#include <string>

namespace telva::test {

inline Bytes Tlv(std::uint8_t tag, const Bytes& content) {
    Bytes out{tag};
    AppendBerLength(out, content.size());
    out.insert(out.end(), content.begin(), content.end());
    return out;
}

inline Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& part : parts) {
        out.insert(out.end(), part.begin(), part.end());
    }
    return out;
}

inline Bytes OidTlv(const std::string& oid) {
    return Tlv(0x06, EncodeOidContent(oid));
}

inline Bytes Binding(const std::string& oid, const Bytes& value_tlv) {
    return Tlv(0x30, Concat({OidTlv(oid), value_tlv}));
}

// A GetResponse with the given bindings (VarBind TLVs, concatenated).
inline Bytes Response(std::uint8_t error_status, const Bytes& bindings,
                      const std::string& community = "quarno", std::uint8_t request_id = 0) {
    const Bytes pdu = Concat(
        {{0x02, 0x01, request_id}, {0x02, 0x01, error_status}, {0x02, 0x01, 0x00}, Tlv(0x30, bindings)});
    return Tlv(
        0x30,
        Concat({{0x02, 0x01, 0x00}, Tlv(0x04, Bytes(community.begin(), community.end())), Tlv(0xA2, pdu)}));
}

} // namespace telva::test
