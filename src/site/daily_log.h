#pragma once
// The daily log: one time-stamped line per call, appended to "log_YYYYMMDD.txt" in the log directory. The
// file is opened, written and closed for every line; any failure loses that line and nothing else.

#include "clock.h"
#include "run_context.h"

#include <string>
#include <string_view>

namespace telva {

class DailyLog final : public LogSink {
public:
    // `directory` ends in its separator; the day, the time stamp and the separators come from `clock`.
    DailyLog(std::string directory, Clock& clock) : directory_(std::move(directory)), clock_(clock) {}

    // Appends one line to the day's file. Never throws, never reports.
    void Write(std::string_view message) noexcept override;

    const std::string& directory() const { return directory_; }

private:
    std::string directory_;
    Clock& clock_;
};

// The platform's log directory (ending in its separator), where the service writes its daily log.
std::string DefaultLogDirectory();

// "log_" + yyyymmdd + ".txt".
std::string LogFileName(const platform::LocalDateTime& date);

// "dd/mm/yyyy hh:nn:ss" with the first character of each regional separator ("/" and ":" when empty).
std::string LogTimeStamp(const platform::LocalDateTime& time, std::string_view date_separator,
                         std::string_view time_separator);

} // namespace telva
