#pragma once
// The audit scheduler: once at service start, then whenever the local time shown as hours and minutes
// equals ScheduleTime (after a random delay), one audit run; between checks a 10-second pause followed by
// the handling of queued control requests.

#include "platform/clock.h"

#include <cstdint>
#include <functional>
#include <string>

namespace telva {

class TService;

inline constexpr std::uint32_t kSchedulePauseMs = 10000;
// The random delay before a scheduled run: whole milliseconds in [1000, 600000).
inline constexpr std::uint32_t kMinimumRunDelayMs = 1000;
inline constexpr std::uint32_t kRunDelayLimitMs = 600000;

// Everything the loop takes from the world, so that tests drive it through whole days in microseconds.
class ScheduleClock {
public:
    virtual ~ScheduleClock() = default;
    virtual platform::LocalDateTime Now() = 0;
    virtual void Sleep(std::uint32_t milliseconds) = 0;
    // The random delay before a scheduled run.
    virtual std::uint32_t RandomDelay() = 0;
    // The time separator of the regional settings in force now.
    virtual std::string TimeSeparator() = 0;
};

// The real clock, sleep, regional settings and the process-wide generator.
ScheduleClock& SystemScheduleClock();

// Seeds the process-wide generator from the high-resolution clock. The program entry calls it once
// when the process starts; a generator used before that seeds itself the same way.
void SeedRandomDelay();
// One draw of the process-wide generator, uniform in [kMinimumRunDelayMs, kRunDelayLimitMs).
std::uint32_t DrawRandomDelay();

// "hh" + separator + "mm" on the 24-hour clock.
std::string RenderScheduleTime(const platform::LocalDateTime& time, const std::string& separator);

// The loop of the execute handler. Returns once Terminated is set; an error out of the delay or the run
// leaves it at once. Must run on the service thread of `service`.
void RunScheduleLoop(TService& service, ScheduleClock& clock, const std::function<void()>& run_audit);

} // namespace telva
