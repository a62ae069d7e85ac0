#pragma once
// The daily log: one time-stamped line per call, appended to "log_YYYYMMDD.txt" in the log directory. The
// file is opened, written and closed for every line; any failure loses that line and nothing else.

#include "commons/time_source.h"

#include <string>
#include <string_view>

namespace telva {

// Appends one line to the day's file in the platform's log directory. Never throws, never reports.
void WriteLog(std::string_view message) noexcept;

// Points WriteLog at another directory (ending in its separator); an empty text restores the platform's.
// Only tests and tools call it: the service always logs to the platform's directory.
void SetLogDirectory(std::string directory);

// The same, in an explicit directory (ending in its separator) and with an explicit clock.
void WriteLogIn(const std::string& directory, std::string_view message,
                TimeSource& time = SystemTime()) noexcept;

// "log_" + yyyymmdd + ".txt".
std::string LogFileName(const platform::LocalDateTime& date);

// "dd/mm/yyyy hh:nn:ss" with the first character of each regional separator ("/" and ":" when empty).
std::string LogTimeStamp(const platform::LocalDateTime& time, std::string_view date_separator,
                         std::string_view time_separator);

} // namespace telva
