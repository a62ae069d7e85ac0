#pragma once
// Trying a failed run again ("repetir"). When a run's login failed, its printer list was not received, or
// its upload was refused or failed, a whole new run follows `repetir` minutes after the run ended, and again
// after each try that fails, until a run's upload is accepted: at most kMaxRetries tries, and none at or
// after the start of the next scheduled minute, whose run takes over. The plan is bookkeeping over the
// local clock's readings; the schedule loop tells it how runs end and asks it when a try is due.

#include "platform/clock.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace telva {

inline constexpr int kMaxRetries = 12;

// The failures a try may mend. A run whose printers merely did not all answer is not one of them.
enum class RunFailure { LoginFailed, PrinterListNotReceived, UploadRefused, UploadFailed };

// "login failed", "printer list not received", "upload refused", "upload failed".
std::string_view RunFailureReason(RunFailure failure);

class RetryPlan {
public:
    // `interval_minutes`: the "repetir" setting, 1 to kMaxRetryMinutes (settings.h); 0 (the setting absent)
    // never tries.
    explicit RetryPlan(int interval_minutes) : interval_seconds_(std::int64_t{interval_minutes} * 60) {}

    // A run has ended at `now`: with `failure` when it failed in a way a try may mend, none otherwise (the
    // upload was accepted, or the run was not one to repeat). When another try fits before the next
    // scheduled minute (`schedule_time` as the schedule compares it, with `separator`; none when it can
    // never match), the try is pending and the result is the line for the log:
    // "Next try at " + hh:mm + " (" + k + " of " + n + "): " + reason, where n counts the tries that fit.
    std::optional<std::string> RunEnded(std::optional<RunFailure> failure, const platform::LocalDateTime& now,
                                        std::string_view schedule_time, std::string_view separator);

    // Whether the pending try is due at `now`; when it is, it counts as made and is no longer pending.
    bool TakeDueTry(const platform::LocalDateTime& now);

    // A stop, a shutdown, or the scheduled run taking over: nothing stays pending, and the next failure
    // begins a new round of tries.
    void Cancel();

    bool pending() const { return due_.has_value(); }

private:
    std::int64_t interval_seconds_;
    int tries_made_ = 0;              // of the current round
    std::optional<std::int64_t> due_; // local seconds
    std::int64_t last_end_ = 0;       // when the run that asked for the pending try ended
};

} // namespace telva
