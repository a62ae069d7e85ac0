#include "installer/settings_properties.h"

#include "platform/profile.h"
#include "platform/unicode.h"
#include "text/ascii.h"

namespace telva {
namespace {

constexpr std::string_view kHexDigits = "0123456789abcdef";

std::optional<std::string> FromHex(std::string_view hex) {
    if (hex.size() % 2 != 0) {
        return std::nullopt;
    }
    std::string bytes;
    bytes.reserve(hex.size() / 2);
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        const auto high = kHexDigits.find(hex[i]);
        const auto low = kHexDigits.find(hex[i + 1]);
        if (high == std::string_view::npos || low == std::string_view::npos) {
            return std::nullopt;
        }
        bytes += static_cast<char>(high * 16 + low);
    }
    return bytes;
}

// Splits at '\n'; a text ending in '\n' gives no empty last line.
std::vector<std::string_view> Lines(std::string_view text) {
    std::vector<std::string_view> lines;
    while (!text.empty()) {
        const auto end = text.find('\n');
        lines.push_back(text.substr(0, end));
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    }
    return lines;
}

} // namespace

std::string SettingProperty(std::string_view key) {
    std::string property(key);
    for (char& c : property) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
    }
    return property;
}

std::string ProfileValueText(std::string_view value) {
    const bool blank_at_end = !value.empty() && (IsBlank(value.front()) || IsBlank(value.back()));
    const bool enclosed =
        value.size() >= 2 && value.front() == value.back() && (value.front() == '"' || value.front() == '\'');
    if (!blank_at_end && !enclosed) {
        return std::string(value);
    }
    std::string quoted;
    quoted.reserve(value.size() + 2);
    quoted += '"';
    quoted += value;
    quoted += '"';
    return quoted;
}

std::string AssignmentProblem(const std::vector<SettingAssignment>& given) {
    for (const SettingAssignment& assignment : given) {
        const std::string property = SettingProperty(assignment.key);
        if (assignment.value.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos) {
            return property + " holds a line break, which config.ini cannot keep in a value.";
        }
        if (platform::Utf8ToUtf16(ProfileValueText(assignment.value)).size() >
            platform::kProfileValueMaxUnits) {
            return property + " is longer than config.ini keeps (" +
                   std::to_string(platform::kProfileValueMaxUnits) + " characters).";
        }
    }
    return {};
}

std::string MissingServerProblem(bool server_known, bool contract_known, std::string_view settings_path) {
    if (server_known && contract_known) {
        return {};
    }
    std::string missing = !server_known && !contract_known ? "endereco and contrato"
                          : !server_known                  ? "endereco"
                                                           : "contrato";
    return "ENDERECO and CONTRATO are needed: give the server's address and the contract number as "
           "properties, for example msiexec /i telva4-audit.msi ENDERECO=https://server.example "
           "CONTRATO=1234 (" +
           std::string(settings_path) + " holds no " + missing + " to keep). Nothing was installed.";
}

std::string EncodeSettingsWrite(const SettingsWrite& write) {
    std::string text = write.path + "\n" + write.access + "\n";
    if (write.previous_content) {
        text += '=';
        for (const char c : *write.previous_content) {
            const auto byte = static_cast<unsigned char>(c);
            text += kHexDigits[byte / 16];
            text += kHexDigits[byte % 16];
        }
    } else {
        text += '-';
    }
    for (const SettingAssignment& assignment : write.assignments) {
        text += "\n" + assignment.key + "=" + assignment.value;
    }
    return text;
}

std::optional<SettingsWrite> DecodeSettingsWrite(std::string_view text) {
    const std::vector<std::string_view> lines = Lines(text);
    if (lines.size() < 3 || lines[0].empty() || lines[2].empty()) {
        return std::nullopt;
    }
    SettingsWrite write{std::string(lines[0]), std::string(lines[1]), std::nullopt, {}};
    if (lines[2].front() == '=') {
        write.previous_content = FromHex(lines[2].substr(1));
        if (!write.previous_content) {
            return std::nullopt;
        }
    } else if (lines[2] != "-") {
        return std::nullopt;
    }
    for (std::size_t i = 3; i < lines.size(); ++i) {
        const auto equals = lines[i].find('=');
        if (equals == 0 || equals == std::string_view::npos) {
            return std::nullopt;
        }
        write.assignments.push_back(
            {std::string(lines[i].substr(0, equals)), std::string(lines[i].substr(equals + 1))});
    }
    return write;
}

} // namespace telva
