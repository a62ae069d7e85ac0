#include "scheduler.h"

#include "service/service.h"

#include <cstdio>
#include <stdexcept>

namespace telva {

std::string RenderScheduleTime(const platform::LocalDateTime& time, const std::string& separator) {
    char hours[4];
    char minutes[4];
    std::snprintf(hours, sizeof hours, "%02d", time.hour % 100);
    std::snprintf(minutes, sizeof minutes, "%02d", time.minute % 100);
    return hours + separator + minutes;
}

namespace {

// A stop or shutdown waiting for the service thread: what ends the random delay before a scheduled run.
class StopRequestArrival final : public Interruption {
public:
    explicit StopRequestArrival(ServiceThread& thread) : thread_(thread) {}
    bool Await(std::uint32_t milliseconds) override { return thread_.WaitForStopRequest(milliseconds); }

private:
    ServiceThread& thread_;
};

} // namespace

void RunScheduleLoop(Service& service, RunContext& context, bool& run_now, const AuditCall& run_audit) {
    ServiceThread* thread = service.CurrentThread();
    if (thread == nullptr) {
        throw std::logic_error("the scheduler runs only on the service thread");
    }
    Clock& clock = context.clock;
    const std::string& schedule_time = context.settings.schedule_time;
    StopRequestArrival stop_arrival(*thread);
    // Lives with the loop: a stop or shutdown, which ends the loop, leaves no try pending.
    RetryPlan retries(context.settings.retry_minutes);
    while (!thread->Terminated()) {
        const platform::LocalDateTime now = clock.Now();
        const bool schedule_match = RenderScheduleTime(now, clock.TimeSeparator()) == schedule_time;
        if (schedule_match) {
            retries.Cancel(); // the scheduled run takes over
        }
        if (run_now || schedule_match || retries.TakeDueTry(now)) {
            if (schedule_match) {
                clock.SleepUnless(clock.RandomDelay(), stop_arrival);
            }
            // A stop or shutdown that came before the run (during the delay, or while the service started)
            // is handled instead of it.
            if (thread->WaitingStopRequest() == 0) {
                run_now = false;
                const std::optional<RunFailure> failure = run_audit();
                // No try is announced for a run that a stop or shutdown has cut short.
                if (thread->WaitingStopRequest() == 0) {
                    if (const auto line =
                            retries.RunEnded(failure, clock.Now(), schedule_time, clock.TimeSeparator())) {
                        context.Log(*line);
                    }
                }
            }
            // One that came during the run has cut it short; it is handled at once rather than after the
            // pause.
            if (thread->WaitingStopRequest() != 0) {
                thread->ProcessRequests();
                continue;
            }
        }
        clock.Sleep(kSchedulePauseMs);
        thread->ProcessRequests();
    }
}

} // namespace telva
