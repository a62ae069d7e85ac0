#pragma once
// The settings file "config.ini" beside the executable, section "SERVIDOR". Every value is read from the
// file anew; nothing is cached, nothing is written, and no failure is reported: missing files, sections and
// keys give the defaults.

#include "run_context.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace telva {

inline constexpr const char* kSettingsSection = "SERVIDOR";

// The most printers a run reads at the same time.
inline constexpr int kMaxParallel = 256;

// The value of "paralelo": the whole number the text holds, 256 at most; 1 for an empty text, zero, a
// negative number or a text that is not a number.
int ParallelReadings(std::string_view text);

// The full path of the settings file: the executable's directory followed by "config.ini".
std::string SettingsFilePath();

// The settings in `path`, with the defaults for what is missing, and the server URL derived from them (that
// of an empty address when the address is not usable).
// The local address is left empty: it is the machine's, not the file's. A relative "certificado" is taken
// from the executable's directory.
Settings ReadSettings(const std::string& path);

// `path` when it is absolute or empty, else the executable's directory followed by `path`.
std::string ResolveBesideExecutable(const std::string& path);

// Whether the file at `path` can be read as the settings file (it exists and opens, in an encoding the
// platform's reader takes). When it cannot, ReadSettings gives the defaults.
bool SettingsFileReadable(const std::string& path);

// Whether `text` is a time of day the schedule can match: two-digit hours 00-23, `separator`, two-digit
// minutes 00-59.
bool IsValidScheduleTime(std::string_view text, std::string_view separator);

// What the settings read from `path` are worth to an audit: `usable` when the file was read and names a
// server and a contract; `problems`, one sentence each, everything the service would warn about or correct
// silently: the file cannot be read, "endereco" or "contrato" is empty, "endereco" has a scheme other than
// http or https, "horario" is not a time of day (with `time_separator`), "paralelo" is not a whole number
// from 1 to 256 (with the value in effect), the file is readable by every user, "proxy"
// cannot be used.
struct SettingsReview {
    bool usable = false;
    std::vector<std::string> problems;
};
SettingsReview ReviewSettings(const std::string& path, const Settings& settings,
                              std::string_view time_separator);

// Whether a server address may be used: one that holds "://" after anything but "http" or "https" (in any
// letter case) is not, so that a mistyped scheme ("htps://", "httpss://") sends nothing, least of all the
// password in plain text. An address without "://" is usable (the URL rules decide).
bool ServerAddressUsable(std::string_view server_address);

// The start handler's line for an address that is not usable; the address follows.
inline constexpr const char* kServerAddressNotUsableText = "Server address not usable: ";

// ServerAddress lower-cased and followed by "/app/index.php/"; "http://" goes in front when the text
// "http" occurs nowhere in the result.
std::string DeriveBaseUrl(std::string_view server_address);

// One value of the file at `path`.
std::string ReadSettingText(const std::string& path, const std::string& section, const std::string& key,
                            const std::string& default_value);
std::int32_t ReadSettingInteger(const std::string& path, const std::string& section, const std::string& key,
                                std::int32_t default_value);

// The integer rules of the settings file: leading spaces, one sign, decimal or "$"/"x"/"X"/"0x"/"0X"
// hexadecimal (at most 8 significant digits, read as unsigned 32-bit and stored as signed), nothing after
// the number. None when the text is not such an integer or lies out of range.
std::optional<std::int32_t> ParseSettingInteger(std::string_view text);

// The longest wait before a failed run is tried again, in minutes.
inline constexpr int kMaxRetryMinutes = 720;

// The value of "repetir": the whole number the text holds, kMaxRetryMinutes at most; 0 (no tries) for an
// empty text, zero, a negative number or a text that is not a number.
int RetryMinutes(std::string_view text);

} // namespace telva
