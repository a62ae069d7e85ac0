#pragma once
// What both forms of a check's report (check_table.cpp, check_json.cpp) say alike: the words for steps,
// queries and SNMP error statuses, dates, the server URL shown, and the count of printers by verdict.

#include "console/check.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace telva {

// "ok", "failed" or "not tried".
const char* StepWord(StepResult result);

// An SNMP error status by its name: tooBig, noSuchName, badValue, readOnly, genErr, else "error N".
std::string ErrorStatusName(std::int32_t status);

// "value", "error", "no answer", "refused" or "skipped".
const char* QueryWord(QueryResult result);

// "2026-12-09", and with `minute` "2026-12-09T03:04".
std::string DateText(const platform::LocalDateTime& time, bool minute);

// The server URL when the settings name a server; none otherwise (the derived URL would be made up).
std::optional<std::string> ServerUrl(const Settings& settings);

struct Tally {
    std::size_t read = 0;
    std::size_t partial = 0;
    std::size_t no_answer = 0; // refused ones included, as the service's summary counts them
    std::size_t refused = 0;
    std::size_t error = 0;
    std::size_t not_read = 0;
    std::size_t serial_differs = 0;
    std::size_t lower_counters = 0;
};

Tally Count(const CheckReport& report);

} // namespace telva
