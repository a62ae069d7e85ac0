#include "site/settings.h"

#include "platform/exe_path.h"
#include "platform/files.h"
#include "platform/profile.h"
#include "platform/unicode.h"
#include "text/ascii.h"

namespace telva {
namespace {

std::optional<std::int32_t> ParseHex(std::string_view digits, bool negative) {
    if (digits.empty()) {
        return std::nullopt;
    }
    std::uint32_t value = 0;
    int significant = 0;
    for (const char c : digits) {
        const int digit = HexDigitValue(c);
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

std::optional<std::int32_t> ParseSettingInteger(std::string_view text) {
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

std::string ReadSettingText(const std::string& path, const std::string& section, const std::string& key,
                            const std::string& default_value) {
    return platform::ReadProfileString(path, section, key, default_value);
}

std::int32_t ReadSettingInteger(const std::string& path, const std::string& section, const std::string& key,
                                std::int32_t default_value) {
    const std::string text = ReadSettingText(path, section, key, std::to_string(default_value));
    return ParseSettingInteger(text).value_or(0);
}

bool ServerAddressUsable(std::string_view server_address) {
    const std::size_t separator = server_address.find("://");
    if (separator == std::string_view::npos) {
        return true;
    }
    const std::string scheme = LowerAscii(server_address.substr(0, separator));
    return scheme == "http" || scheme == "https";
}

std::string DeriveBaseUrl(std::string_view server_address) {
    std::string url = platform::ToLowerText(server_address) + "/app/index.php/";
    if (url.find("http") == std::string::npos) {
        url = "http://" + url;
    }
    return url;
}

std::string ResolveBesideExecutable(const std::string& path) {
    if (path.empty() || platform::IsAbsolutePath(path)) {
        return path;
    }
    return platform::ExecutableDirectory() + path;
}

bool SettingsFileReadable(const std::string& path) {
    return platform::ProfileFileReadable(path);
}

bool IsValidScheduleTime(std::string_view text, std::string_view separator) {
    if (text.size() != 4 + separator.size() || text.substr(2, separator.size()) != separator) {
        return false;
    }
    const std::string_view hours = text.substr(0, 2);
    const std::string_view minutes = text.substr(2 + separator.size());
    for (const std::string_view pair : {hours, minutes}) {
        if (!IsAsciiDigit(pair[0]) || !IsAsciiDigit(pair[1])) {
            return false;
        }
    }
    return (hours[0] - '0') * 10 + (hours[1] - '0') <= 23 && minutes[0] <= '5';
}

int ParallelReadings(std::string_view text) {
    const std::optional<std::int32_t> value = ParseSettingInteger(text);
    if (!value || *value < 1) {
        return 1;
    }
    return *value > kMaxParallel ? kMaxParallel : static_cast<int>(*value);
}

Settings ReadSettings(const std::string& path) {
    Settings settings;
    // "timeout" is read for compatibility with existing files; nothing uses its value.
    (void)ReadSettingInteger(path, kSettingsSection, "timeout", 50);
    settings.contract_number = ReadSettingText(path, kSettingsSection, "contrato", "");
    settings.server_address = ReadSettingText(path, kSettingsSection, "endereco", "");
    settings.schedule_time = ReadSettingText(path, kSettingsSection, "horario", "03:00");
    settings.user_name = ReadSettingText(path, kSettingsSection, "user", "vrel");
    settings.password = ReadSettingText(path, kSettingsSection, "pass", "24680");
    settings.ca_file = ResolveBesideExecutable(ReadSettingText(path, kSettingsSection, "certificado", ""));
    settings.base_url =
        DeriveBaseUrl(ServerAddressUsable(settings.server_address) ? settings.server_address : "");
    settings.parallel = ParallelReadings(ReadSettingText(path, kSettingsSection, "paralelo", ""));
    settings.compare_counters =
        ParseSettingInteger(ReadSettingText(path, kSettingsSection, "conferir", "")) == std::int32_t{1};
    settings.retry_minutes = RetryMinutes(ReadSettingText(path, kSettingsSection, "repetir", ""));
    settings.proxy = ParseProxySetting(ReadSettingText(path, kSettingsSection, "proxy", ""));
    return settings;
}

} // namespace telva

namespace telva {

SettingsReview ReviewSettings(const std::string& path, const Settings& settings,
                              std::string_view time_separator) {
    SettingsReview review;
    if (!SettingsFileReadable(path)) {
        review.problems.push_back("the settings file cannot be read: " + path);
        return review; // the values are the defaults; nothing more to say about them
    }
    if (settings.server_address.empty()) {
        review.problems.push_back("\"endereco\" (the server's address) is empty");
    }
    if (!ServerAddressUsable(settings.server_address)) {
        review.problems.push_back("\"endereco\" \"" + settings.server_address +
                                  "\" names a scheme other than http:// or https://: no server is called");
    }
    if (settings.contract_number.empty()) {
        review.problems.push_back("\"contrato\" (the contract's number) is empty");
    }
    review.usable = review.problems.empty();
    // Every call then fails before anything is sent; the check shows it beside the other problems.
    if (settings.proxy.mode == ProxyMode::Unusable) {
        review.problems.push_back(settings.proxy.problem);
    }
    if (!IsValidScheduleTime(settings.schedule_time, time_separator)) {
        review.problems.push_back("\"horario\" \"" + settings.schedule_time + "\" is not a time of day (hh" +
                                  std::string(time_separator) + "mm): the service would only run at start");
    }
    // An empty "paralelo" is the same as none; any other text that is not a whole number from 1 to 256 is
    // replaced silently by the reader.
    const std::string parallel = ReadSettingText(path, kSettingsSection, "paralelo", "");
    const std::optional<std::int32_t> asked = ParseSettingInteger(parallel);
    if (!parallel.empty() && (!asked || *asked < 1 || *asked > kMaxParallel)) {
        review.problems.push_back("\"paralelo\" \"" + parallel + "\" is not a whole number from 1 to " +
                                  std::to_string(kMaxParallel) + ": " + std::to_string(settings.parallel) +
                                  " in effect");
    }
    if (platform::FileReadableByOthers(path)) {
        review.problems.push_back("the settings file is readable by every user, and it holds the server "
                                  "password");
    }
    return review;
}

} // namespace telva

namespace telva {

int RetryMinutes(std::string_view text) {
    const std::optional<std::int32_t> value = ParseSettingInteger(text);
    if (!value || *value < 1) {
        return 0;
    }
    return *value > kMaxRetryMinutes ? kMaxRetryMinutes : static_cast<int>(*value);
}

} // namespace telva
