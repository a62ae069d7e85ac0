// Reading parsed JSON values: member lookup, members by position, the text of a value, phrase search.

#include "server/json.h"

#include "platform/regional.h"

#include <charconv>
#include <cstdint>

namespace telva {
namespace {

// Literals of at least this many characters without a decimal point are read as 64-bit integers.
constexpr std::size_t kIntegerLiteralLength = 12;
constexpr int kSignificantDigits = 15;

[[noreturn]] void NoText(std::string_view literal) {
    throw JsonValueError("The number " + std::string(literal) + " cannot be read as text");
}

// For a literal that from_chars found out of range: true when its magnitude is below the smallest double
// (so it reads as zero), false when above the largest.
bool IsTooSmall(std::string_view literal) {
    std::size_t i = literal.empty() || literal[0] != '-' ? 0 : 1;
    long long magnitude = 0; // decimal position of the first nonzero digit, before the exponent
    bool seen_nonzero = false;
    bool after_point = false;
    for (; i < literal.size() && literal[i] != 'e' && literal[i] != 'E'; ++i) {
        if (literal[i] == '.') {
            after_point = true;
        } else if (!seen_nonzero && literal[i] == '0') {
            magnitude -= after_point ? 1 : 0;
        } else {
            seen_nonzero = true;
            magnitude += after_point ? 0 : 1;
        }
    }
    long long exponent = 0;
    bool negative = false;
    if (i < literal.size()) {
        ++i;
        if (i < literal.size() && (literal[i] == '+' || literal[i] == '-')) {
            negative = literal[i] == '-';
            ++i;
        }
        for (; i < literal.size() && exponent < 1000000000; ++i) {
            exponent = exponent * 10 + (literal[i] - '0');
        }
    }
    return magnitude + (negative ? -exponent : exponent) <= 0;
}

std::string DoubleText(std::string_view literal, std::string_view decimal_separator) {
    double value = 0;
    const auto [end, error] = std::from_chars(literal.data(), literal.data() + literal.size(), value);
    if (error == std::errc::result_out_of_range) {
        if (!IsTooSmall(literal)) {
            NoText(literal);
        }
        value = 0;
    } else if (error != std::errc() || end != literal.data() + literal.size()) {
        NoText(literal);
    }
    if (value == 0) {
        return "0"; // negative zero included
    }
    char buffer[64];
    const auto written =
        std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::general, kSignificantDigits);
    std::string text(buffer, written.ptr);
    const std::size_t point = text.find('.');
    if (point != std::string::npos) {
        text.replace(point, 1, decimal_separator);
    }
    return text;
}

} // namespace

const JsonValue* FindMember(const JsonValue& object, std::string_view name) {
    if (!object.IsObject()) {
        return nullptr;
    }
    for (const JsonValue& member : object.items()) {
        if (member.name() == name) {
            return &member;
        }
    }
    return nullptr;
}

std::size_t MemberCount(const JsonValue& object) {
    return object.IsObject() ? object.items().size() : 0;
}

const JsonValue& MemberAt(const JsonValue& object, std::size_t position) {
    if (!object.IsObject() || position >= object.items().size()) {
        throw std::out_of_range("MemberAt: no member at position " + std::to_string(position));
    }
    return object.items()[position];
}

std::string NumberText(std::string_view literal, std::string_view decimal_separator) {
    if (literal.size() < kIntegerLiteralLength || literal.find('.') != std::string_view::npos) {
        return DoubleText(literal, decimal_separator);
    }
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(literal.data(), literal.data() + literal.size(), value);
    if (error != std::errc() || end != literal.data() + literal.size()) {
        NoText(literal);
    }
    return std::to_string(value);
}

std::string ValueText(const JsonValue& value) {
    switch (value.kind()) {
    case JsonKind::kString:
        return std::string(value.text());
    case JsonKind::kNumber: {
        std::string text = NumberText(value.text(), ".");
        // Only a rendering with a decimal point needs the regional separator.
        const std::size_t point = text.find('.');
        if (point != std::string::npos) {
            text.replace(point, 1, platform::DecimalSeparator());
        }
        return text;
    }
    default:
        return {};
    }
}

bool ContainsText(const JsonValue& value, std::string_view phrase) {
    if (value.IsString()) {
        return value.text().find(phrase) != std::string_view::npos;
    }
    for (const JsonValue& item : value.items()) {
        if ((value.IsObject() && item.name().find(phrase) != std::string_view::npos) ||
            ContainsText(item, phrase)) {
            return true;
        }
    }
    return false;
}

} // namespace telva
