#include "site/daily_log.h"

#include "platform/files.h"
#include "platform/system_log.h"
#include "platform/text8.h"

#include <cstdio>

namespace telva {
namespace {

constexpr std::size_t kEndOfFileScan = 128;
constexpr char kEndOfFileMark = '\x1A';

std::string TwoDigits(int value) {
    char text[8];
    std::snprintf(text, sizeof text, "%02d", value);
    return text;
}

std::string FirstCharacterOr(std::string_view separator, const char* fallback) {
    if (separator.empty()) {
        return fallback;
    }
    // Keep the whole first UTF-8 sequence.
    std::size_t length = 1;
    while (length < separator.size() && (static_cast<unsigned char>(separator[length]) & 0xC0) == 0x80) {
        ++length;
    }
    return std::string(separator.substr(0, length));
}

// Cuts the file at the first end-of-file mark within its last 128 bytes.
bool RemoveEndOfFileMark(platform::AppendFile& file) {
    const auto size = file.Size();
    if (!size) {
        return false;
    }
    const std::uint64_t start = *size > kEndOfFileScan ? *size - kEndOfFileScan : 0;
    const auto tail = file.ReadAt(start, static_cast<std::size_t>(*size - start));
    if (!tail) {
        return false;
    }
    const std::size_t mark = tail->find(kEndOfFileMark);
    return mark == std::string::npos || file.Truncate(start + mark);
}

} // namespace

std::string DailyLog::FilePath() const {
    return directory_ + LogFileName(clock_.Now());
}

bool DailyLog::CanWrite() const {
    return platform::OpenLogFile(FilePath()).file.has_value();
}

void DailyLog::Append(std::string_view message) {
    const std::string path = FilePath();
    platform::LogFileOpening opening = platform::OpenLogFile(path);
    if (opening.refused && path != refused_path_) {
        refused_path_ = path;
        if (notice_) {
            notice_(LogRefusedText(path));
        }
    }
    auto& file = opening.file;
    if (!file || !RemoveEndOfFileMark(*file)) {
        return;
    }
    const std::string stamp = LogTimeStamp(clock_.Now(), clock_.DateSeparator(), clock_.TimeSeparator());
    std::string line = platform::ToLogEncoding(stamp + " " + std::string(message));
    line += "\r\n";
    file->Append(line);
}

std::string LogRefusedText(const std::string& path) {
    return "Daily log line lost: " + path +
           " is a symbolic link or not a regular file owned by the service's user; it is left untouched";
}

LogRefusalNotice DailyLog::SystemLogRefusalNotice() {
    return [](const std::string& line) { platform::SystemLogWarning("TELVA4Audit", line); };
}

std::string LogFileName(const platform::LocalDateTime& date) {
    char name[32];
    std::snprintf(name, sizeof name, "log_%04d%02d%02d.txt", date.year % 10000, date.month % 100,
                  date.day % 100);
    return name;
}

std::string LogTimeStamp(const platform::LocalDateTime& t, std::string_view date_separator,
                         std::string_view time_separator) {
    const std::string ds = FirstCharacterOr(date_separator, "/");
    const std::string ts = FirstCharacterOr(time_separator, ":");
    char year[8];
    std::snprintf(year, sizeof year, "%04d", t.year % 10000);
    return TwoDigits(t.day) + ds + TwoDigits(t.month) + ds + year + " " + TwoDigits(t.hour) + ts +
           TwoDigits(t.minute) + ts + TwoDigits(t.second);
}

void DailyLog::Write(std::string_view message) noexcept {
    try {
        Append(message);
    } catch (...) {
        // The line is lost; the caller carries on.
    }
}

std::string DefaultLogDirectory() {
    return platform::DefaultLogDirectory();
}

} // namespace telva
