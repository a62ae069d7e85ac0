#pragma once
// The audit scheduler: once at service start, then whenever the local time shown as hours and minutes equals
// the schedule time (after a random delay that a stop or shutdown ends), one audit run; with "repetir", a
// run that failed is tried again (retry_plan.h); between checks a 10-second pause followed by the handling
// of queued control requests.

#include "clock.h"
#include "retry_plan.h"
#include "run_context.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace telva {

class Service;

inline constexpr std::uint32_t kSchedulePauseMs = 10000;

// "hh" + separator + "mm" on the 24-hour clock.
std::string RenderScheduleTime(const platform::LocalDateTime& time, const std::string& separator);

// One audit run, as the loop calls it: yields the failure a later try may mend, none when there is nothing
// to try again.
using AuditCall = std::function<std::optional<RunFailure>()>;

// The loop of the execute handler, on `context`'s clock, schedule time and "repetir" interval; the lines
// that announce a try go to its log. `run_now` (set when the process starts) makes the next check start a
// run whatever the time; the loop clears it just before each run. A try starts at the first check at or
// after its time, without the random delay; the scheduled minute takes over from pending tries. A stop or
// shutdown ends the random delay at once, and no run starts while one waits; one waiting when a run ends is
// handled without the pause, and the loop ends with what was pending. Returns once the service thread is
// terminated; an error out of the delay or the run leaves it at once. Must run on the service thread of
// `service`.
void RunScheduleLoop(Service& service, RunContext& context, bool& run_now, const AuditCall& run_audit);

} // namespace telva
