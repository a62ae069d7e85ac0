// The SNMP BER codec over arbitrary bytes.
// - DecodeMessage reads the bytes as an answer datagram (ASan watches that nothing is read outside them): the
//   bindings stay parallel, and each binding needs at least six bytes (three items of tag and length), so
//   their count is bounded by the datagram size.
// - BerValueText reads the bytes as tag + content: each tag gives text of its documented shape.
// - The bytes also make a GetRequest (4 bytes request-id, 1 byte error-status, then community and object
//   identifier texts separated by NUL bytes); EncodeMessage then DecodeMessage gives back the request's
//   fields and each identifier text in canonical form (as the agent reads it).

#include "platform/unicode.h"
#include "snmp/ber_decode.h"
#include "snmp/ber_encode.h"
#include "snmp/snmp_message.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace {

using telva::SnmpMessage;

void Require(bool condition) {
    if (!condition) {
        std::abort();
    }
}

bool AllOf(std::string_view text, std::string_view allowed) {
    return text.find_first_not_of(allowed) == std::string_view::npos;
}

// One identifier piece as the encoder reads it: blanks (bytes up to 0x20) around it dropped, an optional
// sign, then decimal digits within the signed 32-bit range; anything else is 0.
std::uint32_t PieceNumber(std::string_view piece) {
    std::size_t begin = 0;
    std::size_t end = piece.size();
    while (begin < end && static_cast<unsigned char>(piece[begin]) <= 0x20) {
        ++begin;
    }
    while (end > begin && static_cast<unsigned char>(piece[end - 1]) <= 0x20) {
        --end;
    }
    piece = piece.substr(begin, end - begin);
    bool negative = false;
    if (!piece.empty() && (piece.front() == '+' || piece.front() == '-')) {
        negative = piece.front() == '-';
        piece.remove_prefix(1);
    }
    if (piece.empty() || !AllOf(piece, "0123456789")) {
        return 0;
    }
    std::int64_t magnitude = 0;
    for (const char c : piece) {
        magnitude = magnitude * 10 + (c - '0');
        if (magnitude > 2147483648LL) {
            return 0;
        }
    }
    const std::int64_t value = negative ? -magnitude : magnitude;
    if (value > 2147483647LL) {
        return 0;
    }
    return static_cast<std::uint32_t>(static_cast<std::int32_t>(value));
}

// The dotted text an agent reads back from the identifier the encoder writes for `text`.
std::string CanonicalOid(std::string_view text) {
    std::vector<std::string_view> pieces;
    while (true) {
        const std::size_t dot = text.find('.');
        pieces.push_back(text.substr(0, dot));
        if (dot == std::string_view::npos) {
            break;
        }
        text.remove_prefix(dot + 1);
    }
    // The text after the last "." is a piece of its own only when it is not empty (beyond the first two).
    if (pieces.size() > 2 && pieces.back().empty()) {
        pieces.pop_back();
    }
    const std::uint32_t first =
        40u * PieceNumber(pieces[0]) + (pieces.size() > 1 ? PieceNumber(pieces[1]) : 0u);
    std::string canonical;
    if (first < 40) {
        canonical = "0." + std::to_string(first);
    } else if (first < 80) {
        canonical = "1." + std::to_string(first - 40);
    } else {
        canonical = "2." + std::to_string(first - 80);
    }
    for (std::size_t i = 2; i < pieces.size(); ++i) {
        canonical += '.';
        canonical += std::to_string(PieceNumber(pieces[i]));
    }
    return canonical;
}

void CheckDecode(const std::uint8_t* data, std::size_t size) {
    SnmpMessage reply;
    telva::DecodeMessage(data, size, reply);
    Require(reply.bindings.size() <= size / 6);
}

void CheckValueText(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return;
    }
    const std::uint8_t tag = data[0];
    const std::uint8_t* content = data + 1;
    const std::size_t length = size - 1;
    const std::string text = telva::BerValueText(tag, content, length);
    if ((tag & 0x20) != 0) {
        Require(text.size() == 3 && text[0] == '$');
        return;
    }
    switch (tag) {
    case telva::kTagInteger: {
        const long long value = std::stoll(text);
        Require(value >= -2147483648LL && value <= 2147483647LL);
        break;
    }
    case telva::kTagCounter:
    case telva::kTagGauge:
    case telva::kTagTimeTicks:
        (void)std::stoll(text);
        Require(AllOf(text, "-0123456789") && !text.empty());
        if (length <= 7) { // below 2 to the 56th: never written as negative
            Require(text[0] != '-');
        }
        break;
    case telva::kTagCounter64: {
        // An unsigned decimal number, or no reading at all when the content is wider than 64 bits.
        std::size_t significant = length;
        for (std::size_t i = 0; i < length && content[i] == 0; ++i) {
            --significant;
        }
        Require(significant > 8 ? text.empty() : (!text.empty() && AllOf(text, "0123456789")));
        break;
    }
    case telva::kTagNull:
        Require(text.empty());
        break;
    case telva::kTagObjectId:
        Require(AllOf(text, ".0123456789"));
        Require(length == 0 ? text.empty() : text.size() >= 3);
        break;
    case telva::kTagIpAddress:
        Require(AllOf(text, ".0123456789"));
        break;
    default:
        Require(telva::platform::Utf8ToLatin1(text) ==
                std::string(reinterpret_cast<const char*>(content), length));
        break;
    }
}

void CheckRoundTrip(const std::uint8_t* data, std::size_t size) {
    if (size < 5) {
        return;
    }
    SnmpMessage query;
    query.pdu_type = telva::kPduGetRequest;
    query.request_id = static_cast<std::int32_t>(static_cast<std::uint32_t>(data[0]) << 24 | data[1] << 16 |
                                                 data[2] << 8 | data[3]);
    query.error_status = static_cast<std::int8_t>(data[4]);
    std::string_view text(reinterpret_cast<const char*>(data) + 5, size - 5);
    const std::size_t end = text.find('\0');
    query.community = std::string(text.substr(0, end));
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    while (!text.empty() && query.bindings.size() < 8) {
        const std::size_t cut = text.find('\0');
        telva::AddBinding(query, std::string(text.substr(0, cut)), "", telva::kTagOctetString);
        text = cut == std::string_view::npos ? std::string_view() : text.substr(cut + 1);
    }

    SnmpMessage reply;
    reply.datagram = telva::EncodeMessage(query);
    telva::DecodeMessage(reply);
    Require(reply.version == 0);
    Require(reply.request_id == query.request_id);
    Require(reply.error_status == query.error_status);
    Require(reply.error_index == 0);
    Require(telva::platform::Utf8ToLatin1(reply.community) == telva::platform::Utf8ToLatin1(query.community));
    Require(reply.bindings.size() == query.bindings.size());
    for (std::size_t i = 0; i < query.bindings.size(); ++i) {
        Require(reply.bindings[i].oid == CanonicalOid(query.bindings[i].oid));
        Require(reply.bindings[i].value.text.empty() &&
                reply.bindings[i].value.tag == telva::kTagOctetString);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    CheckDecode(data, size);
    CheckValueText(data, size);
    CheckRoundTrip(data, size);
    return 0;
}
