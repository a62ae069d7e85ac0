#include "site/reading_history_file.h"

#include "platform/state_files.h"
#include "text/ascii.h"

#include <array>
#include <cstdio>
#include <vector>

namespace telva {
namespace {

constexpr std::string_view kFirstLine = "TELVA4Audit reading history 1";
constexpr std::string_view kAbout =
    "# The counters of the last uploads the contract server accepted, per contract and printer id: the\n"
    "# service compares each new reading with them and logs the counters that went back. Written by the\n"
    "# service after every accepted upload; delete this file to start afresh.\n"
    "# printer <id> <last listed> <readings taken> <lco> <lcc> <lcm> <lccb> <lcmb> <sco>  (\"-\": none "
    "kept)\n";

// The longest lines the service writes: every byte of a key escaped, every reading of the most digits.
constexpr std::size_t kLongestKey = 3 * kHistoryMaxKeyBytes;
constexpr std::size_t kLongestPrinterLine = sizeof "printer " + kLongestKey +
                                            sizeof " yyyy-mm-dd yyyy-mm-ddThh:mm" +
                                            kCounterCount * (1 + kHistoryMaxDigits);
constexpr std::size_t kLongestContractLine = sizeof "contract " + kLongestKey;
static_assert(1024 + kHistoryMaxPrinters * (kLongestPrinterLine + kLongestContractLine) < kHistoryFileLimit);

void AppendKey(std::string& out, std::string_view key) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    for (const char c : key) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte > 0x20 && byte < 0x7F && c != '%') {
            out += c;
        } else {
            out += '%';
            out += kHex[byte >> 4];
            out += kHex[byte & 0x0F];
        }
    }
}

void AppendNumber(std::string& out, int value, int width) {
    char digits[8];
    std::snprintf(digits, sizeof digits, "%0*d", width, value);
    out += digits;
}

void AppendDay(std::string& out, const std::chrono::year_month_day& day) {
    AppendNumber(out, static_cast<int>(day.year()), 4);
    out += '-';
    AppendNumber(out, static_cast<int>(static_cast<unsigned>(day.month())), 2);
    out += '-';
    AppendNumber(out, static_cast<int>(static_cast<unsigned>(day.day())), 2);
}

// Whole number of exactly `text.size()` digits, at most 9 of them; -1 otherwise.
int Digits(std::string_view text) {
    if (text.empty() || text.size() > 9) {
        return -1;
    }
    int value = 0;
    for (const char c : text) {
        if (!IsAsciiDigit(c)) {
            return -1;
        }
        value = value * 10 + (c - '0');
    }
    return value;
}

bool ParseDay(std::string_view text, std::chrono::year_month_day& day) {
    if (text.size() != 10 || text[4] != '-' || text[7] != '-') {
        return false;
    }
    const int year = Digits(text.substr(0, 4));
    const int month = Digits(text.substr(5, 2));
    const int date = Digits(text.substr(8, 2));
    if (year < 0 || month < 0 || date < 0) {
        return false;
    }
    day =
        std::chrono::year_month_day{std::chrono::year{year}, std::chrono::month{static_cast<unsigned>(month)},
                                    std::chrono::day{static_cast<unsigned>(date)}};
    return day.ok();
}

bool ParseMoment(std::string_view text, platform::LocalDateTime& moment) {
    std::chrono::year_month_day day;
    if (text.size() != 16 || text[10] != 'T' || text[13] != ':' || !ParseDay(text.substr(0, 10), day)) {
        return false;
    }
    const int hour = Digits(text.substr(11, 2));
    const int minute = Digits(text.substr(14, 2));
    if (hour < 0 || hour > 23 || minute < 0 || minute > 59) {
        return false;
    }
    moment = platform::LocalDateTime{static_cast<int>(day.year()),
                                     static_cast<int>(static_cast<unsigned>(day.month())),
                                     static_cast<int>(static_cast<unsigned>(day.day())),
                                     hour,
                                     minute,
                                     0,
                                     0};
    return true;
}

bool ParseKey(std::string_view text, std::string& key) {
    key.clear();
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte <= 0x20 || byte >= 0x7F) {
            return false;
        }
        if (text[i] != '%') {
            key += text[i];
            continue;
        }
        if (i + 2 >= text.size() || HexDigitValue(text[i + 1]) < 0 || HexDigitValue(text[i + 2]) < 0) {
            return false;
        }
        key += static_cast<char>(HexDigitValue(text[i + 1]) * 16 + HexDigitValue(text[i + 2]));
        i += 2;
    }
    return !key.empty() && key.size() <= kHistoryMaxKeyBytes;
}

std::vector<std::string_view> Words(std::string_view line) {
    std::vector<std::string_view> words;
    std::size_t start = 0;
    while (start <= line.size()) {
        const auto space = line.find(' ', start);
        const auto end = space == std::string_view::npos ? line.size() : space;
        words.push_back(line.substr(start, end - start));
        start = end + 1;
    }
    return words;
}

HistoryRead Unusable(std::string problem) {
    return HistoryRead{ReadingHistory(), std::move(problem)};
}

std::string DirectoryOf(const std::string& path) {
    const auto separator = path.find_last_of("/\\");
    return separator == std::string::npos ? std::string() : path.substr(0, separator + 1);
}

} // namespace

std::string ReadingHistoryPath() {
    return platform::DefaultStateDirectory() + kHistoryFileName;
}

std::string HistoryWorkPath(const std::string& path) {
    return path + ".new";
}

std::string EncodeReadingHistory(const ReadingHistory& history) {
    std::string out;
    out.reserve(256 + history.size() * 80);
    out += kFirstLine;
    out += '\n';
    out += kAbout;
    const std::string* contract = nullptr;
    for (const auto& [key, entry] : history.entries()) {
        if (contract == nullptr || *contract != key.contract) {
            contract = &key.contract;
            out += "contract ";
            AppendKey(out, key.contract);
            out += '\n';
        }
        out += "printer ";
        AppendKey(out, key.printer_id);
        out += ' ';
        AppendDay(out, entry.listed);
        out += ' ';
        AppendDay(out,
                  std::chrono::year_month_day{std::chrono::year{entry.read.year},
                                              std::chrono::month{static_cast<unsigned>(entry.read.month)},
                                              std::chrono::day{static_cast<unsigned>(entry.read.day)}});
        out += 'T';
        AppendNumber(out, entry.read.hour, 2);
        out += ':';
        AppendNumber(out, entry.read.minute, 2);
        for (const std::string& reading : entry.readings) {
            out += ' ';
            out += reading.empty() ? "-" : reading;
        }
        out += '\n';
    }
    out += "end " + std::to_string(history.size()) + "\n";
    return out;
}

HistoryRead ParseReadingHistory(std::string_view text) {
    if (text.size() > kHistoryFileLimit) {
        return Unusable("larger than " + std::to_string(kHistoryFileLimit) + " bytes");
    }
    if (text.empty() || text.back() != '\n') {
        return Unusable("cut short: the last line is incomplete");
    }
    HistoryRead result;
    std::string contract;
    std::size_t number = 0;
    bool ended = false;
    std::size_t printers = 0;
    for (std::size_t start = 0; start < text.size();) {
        const std::size_t end = text.find('\n', start);
        std::string_view line = text.substr(start, end - start);
        start = end + 1;
        ++number;
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        const std::string where = "line " + std::to_string(number) + ": ";
        if (number == 1) {
            if (line != kFirstLine) {
                return Unusable("not a reading history (its first line is not \"" + std::string(kFirstLine) +
                                "\")");
            }
            continue;
        }
        if (line.empty() || line.front() == '#') {
            continue;
        }
        if (ended) {
            return Unusable(where + "text after the end line");
        }
        const std::vector<std::string_view> words = Words(line);
        if (words[0] == "contract" && words.size() == 2) {
            if (!ParseKey(words[1], contract)) {
                return Unusable(where + "not a contract number");
            }
        } else if (words[0] == "printer" && words.size() == 4 + kCounterCount) {
            HistoryKey key{contract, {}};
            PrinterHistory entry;
            if (contract.empty()) {
                return Unusable(where + "a printer before any contract line");
            }
            if (!ParseKey(words[1], key.printer_id)) {
                return Unusable(where + "not a printer id");
            }
            if (!ParseDay(words[2], entry.listed) || !ParseMoment(words[3], entry.read)) {
                return Unusable(where + "not a date (yyyy-mm-dd, then yyyy-mm-ddThh:mm)");
            }
            for (std::size_t k = 0; k < kCounterCount; ++k) {
                const std::string_view reading = words[4 + k];
                if (reading != "-" && !IsWholeNumber(reading)) {
                    return Unusable(where + "a reading is neither \"-\" nor a whole number of at most " +
                                    std::to_string(kHistoryMaxDigits) + " digits");
                }
                entry.readings[k] = reading == "-" ? std::string() : std::string(reading);
            }
            if (++printers > kHistoryMaxPrinters) {
                return Unusable("more than " + std::to_string(kHistoryMaxPrinters) + " printers");
            }
            if (!result.history.Add(std::move(key), std::move(entry))) {
                return Unusable(where + "the printer is given twice for its contract");
            }
        } else if (words[0] == "end" && words.size() == 2) {
            if (Digits(words[1]) < 0 || static_cast<std::size_t>(Digits(words[1])) != printers) {
                return Unusable(where + "the end line does not count the " + std::to_string(printers) +
                                " printer lines");
            }
            ended = true;
        } else {
            return Unusable(where + "not a contract, printer or end line");
        }
    }
    if (!ended) {
        return Unusable("cut short: no end line");
    }
    return result;
}

HistoryRead LoadReadingHistory(const std::string& path) {
    std::string content;
    const int error = platform::ReadStateFile(path, kHistoryFileLimit, content);
    if (error != 0) {
        return platform::IsFileMissing(error) ? HistoryRead() : Unusable(platform::FileErrorText(error));
    }
    return ParseReadingHistory(content);
}

std::string SaveReadingHistory(const std::string& path, const ReadingHistory& history) {
    const std::string directory = DirectoryOf(path);
    if (!directory.empty()) {
        if (const int error = platform::MakeStateDirectory(directory); error != 0) {
            return "its directory cannot be created: " + platform::FileErrorText(error);
        }
    }
    const std::string work = HistoryWorkPath(path);
    if (const int error = platform::WriteStateFileFlushed(work, EncodeReadingHistory(history)); error != 0) {
        return "the work file " + work + " cannot be written: " + platform::FileErrorText(error);
    }
    if (const int error = platform::ReplaceStateFile(work, path); error != 0) {
        return "cannot be replaced: " + platform::FileErrorText(error);
    }
    return {};
}

std::string HistoryNotUsableLine(const std::string& path, const std::string& why) {
    return "Reading history not usable, starting afresh: " + path + ": " + why;
}

std::string HistoryNotSavedLine(const std::string& path, const std::string& why) {
    return "Reading history not saved: " + path + ": " + why;
}

} // namespace telva
