#pragma once
// The clock seam: the local time, sleeping, the random delay before a scheduled run and the regional time
// and date separators. Everything that reads the time or waits for it takes a Clock, so that tests drive
// whole days without waiting; the service uses SystemClock().

#include "platform/clock.h"

#include <cstdint>
#include <string>

namespace telva {

// The random delay before a scheduled run: whole milliseconds in [kMinimumRunDelayMs, kRunDelayLimitMs).
inline constexpr std::uint32_t kMinimumRunDelayMs = 1000;
inline constexpr std::uint32_t kRunDelayLimitMs = 600000;

// What can end a sleep early: for the random delay before a scheduled run, a stop or shutdown that comes.
class Interruption {
public:
    virtual ~Interruption() = default;
    // True at once when it has come; otherwise waits for it up to `milliseconds` of real time (0: does not
    // wait) and says whether it came.
    virtual bool Await(std::uint32_t milliseconds) = 0;
};

class Clock {
public:
    virtual ~Clock() = default;
    virtual platform::LocalDateTime Now() = 0;
    virtual void Sleep(std::uint32_t milliseconds) = 0;
    // Sleeps `milliseconds`, or less when `interruption` comes first (or has come already); true then.
    virtual bool SleepUnless(std::uint32_t milliseconds, Interruption& interruption) = 0;
    // One draw of the random delay before a scheduled run.
    virtual std::uint32_t RandomDelay() = 0;
    // The separators of the regional settings in force now (each call reads them anew).
    virtual std::string TimeSeparator() = 0;
    virtual std::string DateSeparator() = 0;
};

// The real local clock, sleep, regional settings and the process-wide random generator.
Clock& SystemClock();

// Seeds the process-wide generator from the high-resolution clock. The program entry calls it once when the
// process starts; a generator used before that seeds itself the same way.
void SeedRandomDelay();
// One draw of the process-wide generator, uniform in [kMinimumRunDelayMs, kRunDelayLimitMs).
std::uint32_t DrawRandomDelay();

} // namespace telva
