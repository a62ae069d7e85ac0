#pragma once
// The daily log: one time-stamped line per call, appended to "log_YYYYMMDD.txt" in the log directory. The
// file is opened, written and closed for every line; any failure loses that line and nothing else.

#include "clock.h"
#include "run_context.h"

#include <functional>
#include <string>
#include <string_view>

namespace telva {

// Told the text of one system-log line when the day's file is refused (see platform::OpenLogFile).
using LogRefusalNotice = std::function<void(const std::string& line)>;

class DailyLog final : public LogSink {
public:
    // `directory` ends in its separator; the day, the time stamp and the separators come from `clock`.
    // A refused file is reported to `notice`, by default the system log (SystemLogRefusalNotice).
    DailyLog(std::string directory, Clock& clock, LogRefusalNotice notice = SystemLogRefusalNotice())
        : directory_(std::move(directory)), clock_(clock), notice_(std::move(notice)) {}

    // Appends one line to the day's file. Never throws, never reports, except that a file the log refuses
    // to write to is named once per file (so once a day) to the notice.
    void Write(std::string_view message) noexcept override;

    const std::string& directory() const { return directory_; }
    // The path of the day's file, by the clock's date now.
    std::string FilePath() const;
    // Whether a line written now would reach the day's file: opens it as Write does, creating it empty when
    // absent, and writes nothing.
    bool CanWrite() const;

    // Writes the line to the system log under the service's name.
    static LogRefusalNotice SystemLogRefusalNotice();

private:
    void Append(std::string_view message);

    std::string directory_;
    Clock& clock_;
    LogRefusalNotice notice_;
    std::string refused_path_; // the last path named to the notice
};

// The system-log line for a refused daily log file at `path`.
std::string LogRefusedText(const std::string& path);

// The platform's log directory (ending in its separator), where the service writes its daily log.
std::string DefaultLogDirectory();

// "log_" + yyyymmdd + ".txt".
std::string LogFileName(const platform::LocalDateTime& date);

// "dd/mm/yyyy hh:nn:ss" with the first character of each regional separator ("/" and ":" when empty).
std::string LogTimeStamp(const platform::LocalDateTime& time, std::string_view date_separator,
                         std::string_view time_separator);

} // namespace telva
