#include "console/check_words.h"

#include "console/check_report.h"
#include "text/ascii.h"

#include <algorithm>
#include <array>
#include <cstdio>

namespace telva {

const char* StepWord(StepResult result) {
    switch (result) {
    case StepResult::Ok:
        return "ok";
    case StepResult::Failed:
        return "failed";
    case StepResult::NotTried:
        break;
    }
    return "not tried";
}

std::string ErrorStatusName(std::int32_t status) {
    static constexpr std::array<const char*, 5> kNames = {"tooBig", "noSuchName", "badValue", "readOnly",
                                                          "genErr"};
    if (status >= 1 && status <= static_cast<std::int32_t>(kNames.size())) {
        return kNames[static_cast<std::size_t>(status - 1)];
    }
    return "error " + std::to_string(status);
}

const char* QueryWord(QueryResult result) {
    switch (result) {
    case QueryResult::Value:
        return "value";
    case QueryResult::ErrorStatus:
        return "error";
    case QueryResult::NoAnswer:
        return "no answer";
    case QueryResult::Refused:
        return "refused";
    case QueryResult::NotAsked:
        break;
    }
    return "skipped";
}

std::string DateText(const platform::LocalDateTime& time, bool minute) {
    char text[32];
    if (minute) {
        std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d", time.year, time.month, time.day,
                      time.hour, time.minute);
    } else {
        std::snprintf(text, sizeof text, "%04d-%02d-%02d", time.year, time.month, time.day);
    }
    return text;
}

std::optional<std::string> ServerUrl(const Settings& settings) {
    if (TrimBlanks(settings.server_address).empty()) {
        return std::nullopt;
    }
    return settings.base_url;
}

Tally Count(const CheckReport& report) {
    Tally tally;
    for (const PrinterCheck& check : report.printers) {
        if (SerialMatches(check) == false) {
            ++tally.serial_differs;
        }
        if (HasLowerCounters(check)) {
            ++tally.lower_counters;
        }
        switch (VerdictOf(check.reading)) {
        case PrinterVerdict::Read:
            ++tally.read;
            break;
        case PrinterVerdict::Partial:
            ++tally.partial;
            break;
        case PrinterVerdict::NoAnswer:
            ++tally.no_answer;
            break;
        case PrinterVerdict::Refused:
            ++tally.no_answer;
            ++tally.refused;
            break;
        case PrinterVerdict::Error:
            ++tally.error;
            break;
        case PrinterVerdict::NotRead:
            ++tally.not_read;
            break;
        }
    }
    return tally;
}

std::string SecondsText(long long milliseconds) {
    const long long hundredths = (std::max(milliseconds, 0LL) + 5) / 10;
    const long long fraction = hundredths % 100;
    return std::to_string(hundredths / 100) + (fraction < 10 ? ".0" : ".") + std::to_string(fraction);
}

} // namespace telva
