#include "commons/settings.h"

#include "platform/exe_path.h"
#include "platform/profile.h"

namespace telva {
namespace {

int HexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

std::optional<std::int32_t> ParseHex(std::string_view digits, bool negative) {
    if (digits.empty()) {
        return std::nullopt;
    }
    std::uint32_t value = 0;
    int significant = 0;
    for (const char c : digits) {
        const int digit = HexDigit(c);
        if (digit < 0) {
            return std::nullopt;
        }
        if (significant > 0 || digit != 0) {
            if (++significant > 8) {
                return std::nullopt;
            }
        }
        value = (value << 4) | static_cast<std::uint32_t>(digit);
    }
    if (negative) {
        value = 0U - value;
    }
    return static_cast<std::int32_t>(value);
}

std::optional<std::int32_t> ParseDecimal(std::string_view digits, bool negative) {
    if (digits.empty()) {
        return std::nullopt;
    }
    std::int64_t value = 0;
    for (const char c : digits) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        value = value * 10 + (c - '0');
        if (value > 2147483648LL) {
            return std::nullopt;
        }
    }
    if (negative) {
        value = -value;
    }
    if (value > 2147483647LL) {
        return std::nullopt;
    }
    return static_cast<std::int32_t>(value);
}

} // namespace

std::optional<std::int32_t> ParseConfigInteger(std::string_view text) {
    while (!text.empty() && text.front() == ' ') {
        text.remove_prefix(1);
    }
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    if (text.starts_with("0x") || text.starts_with("0X")) {
        return ParseHex(text.substr(2), negative);
    }
    if (text.starts_with("$") || text.starts_with("x") || text.starts_with("X")) {
        return ParseHex(text.substr(1), negative);
    }
    return ParseDecimal(text, negative);
}

std::string SettingsFilePath() {
    return platform::ExecutableDirectory() + "config.ini";
}

std::string ReadConfigStringFrom(const std::string& path, const std::string& section, const std::string& key,
                                 const std::string& default_value) {
    return platform::ReadProfileString(path, section, key, default_value);
}

std::int32_t ReadConfigIntegerFrom(const std::string& path, const std::string& section,
                                   const std::string& key, std::int32_t default_value) {
    const std::string text = ReadConfigStringFrom(path, section, key, std::to_string(default_value));
    return ParseConfigInteger(text).value_or(0);
}

std::string ReadConfigString(const std::string& section, const std::string& key,
                             const std::string& default_value) {
    return ReadConfigStringFrom(SettingsFilePath(), section, key, default_value);
}

std::int32_t ReadConfigInteger(const std::string& section, const std::string& key,
                               std::int32_t default_value) {
    return ReadConfigIntegerFrom(SettingsFilePath(), section, key, default_value);
}

} // namespace telva
