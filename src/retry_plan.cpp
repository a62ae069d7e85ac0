#include "retry_plan.h"

#include "site/settings.h"

#include <algorithm>
#include <chrono>

namespace telva {
namespace {

constexpr std::int64_t kDaySeconds = 86400;

// Seconds since 1 January 1970 as the local clock counts them (no time zone: only differences matter).
std::int64_t LocalSeconds(const platform::LocalDateTime& time) {
    const std::chrono::sys_days day{std::chrono::year{time.year} /
                                    std::chrono::month{static_cast<unsigned>(time.month)} /
                                    std::chrono::day{static_cast<unsigned>(time.day)}};
    return std::int64_t{day.time_since_epoch().count()} * kDaySeconds + time.hour * 3600 + time.minute * 60 +
           time.second;
}

std::string TwoDigits(std::int64_t value) {
    return std::string{static_cast<char>('0' + value / 10), static_cast<char>('0' + value % 10)};
}

// The start of the next scheduled minute as seen at `now`: today's when `now` is before its end (so a
// moment within the minute gives the minute itself), else tomorrow's. None when the schedule never matches.
std::optional<std::int64_t> NextScheduledStart(std::int64_t now, std::string_view schedule_time,
                                               std::string_view separator) {
    if (!IsValidScheduleTime(schedule_time, separator)) {
        return std::nullopt;
    }
    const int hour = (schedule_time[0] - '0') * 10 + (schedule_time[1] - '0');
    const std::string_view minutes = schedule_time.substr(2 + separator.size());
    const int minute = (minutes[0] - '0') * 10 + (minutes[1] - '0');
    const std::int64_t midnight = now - ((now % kDaySeconds) + kDaySeconds) % kDaySeconds;
    const std::int64_t today = midnight + hour * 3600 + minute * 60;
    return now < today + 60 ? today : today + kDaySeconds;
}

} // namespace

std::string_view RunFailureReason(RunFailure failure) {
    switch (failure) {
    case RunFailure::LoginFailed:
        return "login failed";
    case RunFailure::PrinterListNotReceived:
        return "printer list not received";
    case RunFailure::UploadRefused:
        return "upload refused";
    case RunFailure::UploadFailed:
        break;
    }
    return "upload failed";
}

std::optional<std::string> RetryPlan::RunEnded(std::optional<RunFailure> failure,
                                               const platform::LocalDateTime& now,
                                               std::string_view schedule_time, std::string_view separator) {
    due_.reset();
    if (!failure || interval_seconds_ <= 0 || tries_made_ >= kMaxRetries) {
        tries_made_ = 0;
        return std::nullopt;
    }
    const std::int64_t end = LocalSeconds(now);
    int fit = kMaxRetries - tries_made_;
    if (const auto scheduled = NextScheduledStart(end, schedule_time, separator)) {
        // Tries at end + k * interval for k = 1, 2, ... that begin before the scheduled minute.
        const std::int64_t room = *scheduled - end;
        const std::int64_t before = room <= 0 ? 0 : (room - 1) / interval_seconds_;
        fit = static_cast<int>(std::min<std::int64_t>(fit, before));
    }
    if (fit <= 0) {
        tries_made_ = 0;
        return std::nullopt;
    }
    last_end_ = end;
    due_ = end + interval_seconds_;
    const std::int64_t in_day = (*due_ % kDaySeconds + kDaySeconds) % kDaySeconds;
    return "Next try at " + TwoDigits(in_day / 3600) + std::string(separator) +
           TwoDigits(in_day % 3600 / 60) + " (" + std::to_string(tries_made_ + 1) + " of " +
           std::to_string(tries_made_ + fit) + "): " + std::string(RunFailureReason(*failure));
}

bool RetryPlan::TakeDueTry(const platform::LocalDateTime& now) {
    if (!due_) {
        return false;
    }
    const std::int64_t seconds = LocalSeconds(now);
    if (seconds < last_end_) {
        // The clock was put back: the interval counts from now rather than from a moment yet to come.
        last_end_ = seconds;
        due_ = seconds + interval_seconds_;
        return false;
    }
    if (seconds < *due_) {
        return false;
    }
    due_.reset();
    ++tries_made_;
    return true;
}

void RetryPlan::Cancel() {
    due_.reset();
    tries_made_ = 0;
}

} // namespace telva
