#include "snmp/ber_decode.h"

#include "platform/unicode.h"

#include <charconv>
#include <limits>
#include <string_view>

namespace telva {
namespace {

constexpr std::uint8_t kConstructedBit = 0x20;

// Reads a short or long form length at `pos`. On success `pos` moves past the length bytes. A long form
// whose value exceeds what a std::size_t holds saturates; the content check rejects it anyway.
bool ReadLength(const std::uint8_t* data, std::size_t size, std::size_t& pos, std::size_t& length) {
    if (pos >= size) {
        return false;
    }
    const std::uint8_t first = data[pos++];
    if ((first & 0x80) == 0) {
        length = first;
        return true;
    }
    const std::size_t count = first & 0x7F;
    if (count > size - pos) {
        pos = size;
        return false;
    }
    length = 0;
    for (std::size_t i = 0; i < count; ++i) {
        if (length > (std::numeric_limits<std::size_t>::max() >> 8)) {
            length = std::numeric_limits<std::size_t>::max();
        } else {
            length = (length << 8) | data[pos];
        }
        ++pos;
    }
    return true;
}

struct Item {
    std::string text;
    std::uint8_t tag = 0;
    bool readable = false;
};

// Reads one item at `pos`; see ber_decode.h for what an unreadable item does to the position.
Item ReadItem(const std::uint8_t* data, std::size_t size, std::size_t& pos) {
    Item item;
    if (pos >= size || size - pos < 2) {
        return item;
    }
    const std::uint8_t tag = data[pos++];
    std::size_t length = 0;
    if (!ReadLength(data, size, pos, length) || length > size - pos) {
        return item;
    }
    item.tag = tag;
    item.readable = true;
    item.text = BerValueText(tag, data + pos, length);
    if ((tag & kConstructedBit) == 0) {
        pos += length; // a constructed item's content is read as the items that follow
    }
    return item;
}

std::string IntegerText(const std::uint8_t* content, std::size_t size) {
    if (size == 0) {
        return "0";
    }
    // Sign-extend from the first byte, then keep the last four bytes.
    std::uint32_t bits = (content[0] & 0x80) != 0 ? 0xFFFFFFFFu : 0u;
    for (std::size_t i = 0; i < size; ++i) {
        bits = (bits << 8) | content[i];
    }
    return std::to_string(static_cast<std::int32_t>(bits));
}

std::string UnsignedText(const std::uint8_t* content, std::size_t size) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < size; ++i) {
        value = (value << 8) | content[i];
    }
    return std::to_string(static_cast<std::int64_t>(value));
}

// A Counter64 as an unsigned decimal number. Read as characters its bytes would pass for a plausible but
// wrong reading (31 32 33 is not 123), so a value that does not fit 64 bits gives empty text: no reading
// rather than a wrong one.
std::string Counter64Text(const std::uint8_t* content, std::size_t size) {
    std::size_t first = 0;
    while (first < size && content[first] == 0) {
        ++first;
    }
    if (size - first > sizeof(std::uint64_t)) {
        return {};
    }
    std::uint64_t value = 0;
    for (std::size_t i = first; i < size; ++i) {
        value = (value << 8) | content[i];
    }
    return std::to_string(value);
}

std::string ObjectIdText(const std::uint8_t* content, std::size_t size) {
    std::string text;
    bool first = true;
    std::size_t i = 0;
    while (i < size) {
        std::uint64_t sub = 0;
        while (i < size) {
            const std::uint8_t byte = content[i++];
            sub = (sub << 7) | (byte & 0x7F);
            if ((byte & 0x80) == 0) {
                break;
            }
        }
        if (first) {
            first = false;
            if (sub < 40) {
                text = "0." + std::to_string(sub);
            } else if (sub < 80) {
                text = "1." + std::to_string(sub - 40);
            } else {
                text = "2." + std::to_string(sub - 80);
            }
        } else {
            text += '.';
            text += std::to_string(sub);
        }
    }
    return text;
}

std::string IpAddressText(const std::uint8_t* content, std::size_t size) {
    std::string text;
    for (std::size_t i = 0; i < size; ++i) {
        if (i != 0) {
            text += '.';
        }
        text += std::to_string(content[i]);
    }
    return text;
}

// A decimal integer text as a 32-bit number: 0 when it is not one; beyond the 32-bit range it saturates,
// so an out-of-range error-status never reads as 0 (success).
std::int32_t DecimalValue(std::string_view text) {
    if (text.empty()) {
        return 0;
    }
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, 10);
    if (end != text.data() + text.size()) {
        return 0;
    }
    if (error == std::errc::result_out_of_range) {
        return text.front() == '-' ? std::numeric_limits<std::int32_t>::min()
                                   : std::numeric_limits<std::int32_t>::max();
    }
    if (error != std::errc{}) {
        return 0;
    }
    if (value > std::numeric_limits<std::int32_t>::max()) {
        return std::numeric_limits<std::int32_t>::max();
    }
    if (value < std::numeric_limits<std::int32_t>::min()) {
        return std::numeric_limits<std::int32_t>::min();
    }
    return static_cast<std::int32_t>(value);
}

} // namespace

std::string BerValueText(std::uint8_t tag, const std::uint8_t* content, std::size_t size) {
    if ((tag & kConstructedBit) != 0) {
        static constexpr char kHex[] = "0123456789ABCDEF";
        return std::string{'$', kHex[tag >> 4], kHex[tag & 0x0F]};
    }
    switch (tag) {
    case kTagInteger:
        return IntegerText(content, size);
    case kTagCounter:
    case kTagGauge:
    case kTagTimeTicks:
        return UnsignedText(content, size);
    case kTagCounter64:
        return Counter64Text(content, size);
    case kTagNull:
        return {};
    case kTagObjectId:
        return ObjectIdText(content, size);
    case kTagIpAddress:
        return IpAddressText(content, size);
    default: // OCTET STRING, Opaque and every other tag
        return platform::Latin1ToUtf8(std::string_view(reinterpret_cast<const char*>(content), size));
    }
}

void DecodeMessage(const std::uint8_t* data, std::size_t size, SnmpMessage& reply) {
    // The first byte (the outer tag) is not examined.
    std::size_t pos = size > 0 ? 1 : 0;
    std::size_t outer_length = 0;
    if (!ReadLength(data, size, pos, outer_length)) {
        outer_length = 0;
    }
    const std::size_t outer_end = outer_length > std::numeric_limits<std::size_t>::max() - pos
                                      ? std::numeric_limits<std::size_t>::max()
                                      : pos + outer_length;

    reply.version = DecimalValue(ReadItem(data, size, pos).text);
    reply.community = ReadItem(data, size, pos).text;
    const Item pdu = ReadItem(data, size, pos);
    reply.pdu_type = pdu.readable ? pdu.tag : 0;
    reply.request_id = DecimalValue(ReadItem(data, size, pos).text);
    reply.error_status = DecimalValue(ReadItem(data, size, pos).text);
    reply.error_index = DecimalValue(ReadItem(data, size, pos).text);
    ReadItem(data, size, pos); // variable-bindings header

    while (pos < outer_end) {
        const Item header = ReadItem(data, size, pos);
        if (!header.readable) {
            break;
        }
        const Item name = ReadItem(data, size, pos);
        if (!name.readable) {
            break;
        }
        const Item value = ReadItem(data, size, pos);
        if (!value.readable) {
            break;
        }
        AddBinding(reply, name.text, value.text, value.tag);
    }
}

void DecodeMessage(SnmpMessage& reply) {
    DecodeMessage(reply.datagram.data(), reply.datagram.size(), reply);
}

} // namespace telva
