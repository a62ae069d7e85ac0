#include "snmp/ber_encode.h"

#include "platform/unicode.h"

#include <charconv>
#include <limits>

namespace telva {
namespace {

void AppendTlv(std::vector<std::uint8_t>& out, std::uint8_t tag, const std::vector<std::uint8_t>& content) {
    out.push_back(tag);
    AppendBerLength(out, content.size());
    out.insert(out.end(), content.begin(), content.end());
}

void AppendInteger(std::vector<std::uint8_t>& out, std::int32_t value) {
    // Shortest two's-complement form: drop leading bytes that only repeat the sign.
    const auto bits = static_cast<std::uint32_t>(value);
    std::uint8_t bytes[4] = {static_cast<std::uint8_t>(bits >> 24), static_cast<std::uint8_t>(bits >> 16),
                             static_cast<std::uint8_t>(bits >> 8), static_cast<std::uint8_t>(bits)};
    std::size_t first = 0;
    while (first < 3 && ((bytes[first] == 0x00 && (bytes[first + 1] & 0x80) == 0) ||
                         (bytes[first] == 0xFF && (bytes[first + 1] & 0x80) != 0))) {
        ++first;
    }
    AppendTlv(out, kTagInteger, std::vector<std::uint8_t>(bytes + first, bytes + 4));
}

void AppendText(std::vector<std::uint8_t>& out, std::uint8_t tag, std::string_view utf8) {
    const std::string bytes = platform::Utf8ToLatin1(utf8);
    AppendTlv(out, tag, std::vector<std::uint8_t>(bytes.begin(), bytes.end()));
}

void AppendBase128(std::vector<std::uint8_t>& out, std::uint32_t value) {
    std::uint8_t groups[5];
    int count = 0;
    do {
        groups[count++] = static_cast<std::uint8_t>(value & 0x7F);
        value >>= 7;
    } while (value != 0);
    while (count > 1) {
        out.push_back(static_cast<std::uint8_t>(groups[--count] | 0x80));
    }
    out.push_back(groups[0]);
}

// Removes and returns the text up to the first "." (the whole text when there is none).
std::string_view TakePiece(std::string_view& text) {
    const std::size_t dot = text.find('.');
    if (dot == std::string_view::npos) {
        const std::string_view piece = text;
        text = {};
        return piece;
    }
    const std::string_view piece = text.substr(0, dot);
    text.remove_prefix(dot + 1);
    return piece;
}

bool IsSpaceOrControl(char c) {
    return static_cast<unsigned char>(c) <= 0x20;
}

std::int32_t PieceValue(std::string_view piece) {
    while (!piece.empty() && IsSpaceOrControl(piece.front())) {
        piece.remove_prefix(1);
    }
    while (!piece.empty() && IsSpaceOrControl(piece.back())) {
        piece.remove_suffix(1);
    }
    if (!piece.empty() && piece.front() == '+') {
        piece.remove_prefix(1);
        if (piece.empty() || piece.front() == '-') {
            return 0;
        }
    }
    std::int32_t value = 0;
    const auto [end, error] = std::from_chars(piece.data(), piece.data() + piece.size(), value, 10);
    if (error != std::errc{} || end != piece.data() + piece.size() || piece.empty()) {
        return 0;
    }
    return value;
}

} // namespace

void AppendBerLength(std::vector<std::uint8_t>& out, std::size_t length) {
    if (length < 0x80) {
        out.push_back(static_cast<std::uint8_t>(length));
        return;
    }
    std::uint8_t bytes[sizeof(std::size_t)];
    std::size_t count = 0;
    while (length != 0) {
        bytes[count++] = static_cast<std::uint8_t>(length & 0xFF);
        length >>= 8;
    }
    out.push_back(static_cast<std::uint8_t>(0x80 | count));
    while (count > 0) {
        out.push_back(bytes[--count]);
    }
}

std::vector<std::uint8_t> EncodeOidContent(std::string_view oid_text) {
    const auto a = static_cast<std::uint32_t>(PieceValue(TakePiece(oid_text)));
    const auto b = static_cast<std::uint32_t>(PieceValue(TakePiece(oid_text)));
    std::vector<std::uint8_t> content;
    AppendBase128(content, 40u * a + b);
    while (!oid_text.empty()) {
        AppendBase128(content, static_cast<std::uint32_t>(PieceValue(TakePiece(oid_text))));
    }
    return content;
}

std::vector<std::uint8_t> EncodeMessage(const SnmpMessage& query) {
    std::vector<std::uint8_t> bindings;
    for (const VariableBinding& entry : query.bindings) {
        std::vector<std::uint8_t> binding;
        AppendTlv(binding, kTagObjectId, EncodeOidContent(entry.oid));
        AppendText(binding, entry.value.tag, entry.value.text);
        AppendTlv(bindings, kTagSequence, binding);
    }

    std::vector<std::uint8_t> pdu;
    AppendInteger(pdu, query.request_id);
    AppendInteger(pdu, query.error_status);
    AppendInteger(pdu, query.error_index);
    AppendTlv(pdu, kTagSequence, bindings);

    std::vector<std::uint8_t> message;
    AppendInteger(message, query.version);
    AppendText(message, kTagOctetString, query.community);
    AppendTlv(message, static_cast<std::uint8_t>(query.pdu_type), pdu);

    std::vector<std::uint8_t> datagram;
    datagram.reserve(message.size() + 4);
    AppendTlv(datagram, kTagSequence, message);
    return datagram;
}

} // namespace telva
