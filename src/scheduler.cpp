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

void RunScheduleLoop(Service& service, Clock& clock, const std::string& schedule_time, bool& run_now,
                     const std::function<void()>& run_audit) {
    ServiceThread* thread = service.CurrentThread();
    if (thread == nullptr) {
        throw std::logic_error("the scheduler runs only on the service thread");
    }
    StopRequestArrival stop_arrival(*thread);
    while (!thread->Terminated()) {
        const bool schedule_match = RenderScheduleTime(clock.Now(), clock.TimeSeparator()) == schedule_time;
        if (run_now || schedule_match) {
            if (schedule_match) {
                clock.SleepUnless(clock.RandomDelay(), stop_arrival);
            }
            // A stop or shutdown that came before the run (during the delay, or while the service started)
            // is handled instead of it.
            if (thread->WaitingStopRequest() == 0) {
                run_now = false;
                run_audit();
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
