#pragma once
// The audit scheduler: once at service start, then whenever the local time shown as hours and minutes equals
// the schedule time (after a random delay that a stop or shutdown ends), one audit run; between checks a
// 10-second pause followed by the handling of queued control requests.

#include "clock.h"

#include <cstdint>
#include <functional>
#include <string>

namespace telva {

class Service;

inline constexpr std::uint32_t kSchedulePauseMs = 10000;

// "hh" + separator + "mm" on the 24-hour clock.
std::string RenderScheduleTime(const platform::LocalDateTime& time, const std::string& separator);

// The loop of the execute handler. `run_now` (set when the process starts) makes the next check start a run
// whatever the time; the loop clears it just before each run. A stop or shutdown ends the random delay at
// once, and no run starts while one waits; one waiting when a run ends is handled without the pause.
// Returns once the service thread is terminated; an error out of the delay or the run leaves it at once.
// Must run on the service thread of `service`.
void RunScheduleLoop(Service& service, Clock& clock, const std::string& schedule_time, bool& run_now,
                     const std::function<void()>& run_audit);

} // namespace telva
