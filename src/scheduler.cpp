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

void RunScheduleLoop(Service& service, Clock& clock, const std::string& schedule_time, bool& run_now,
                     const std::function<void()>& run_audit) {
    ServiceThread* thread = service.CurrentThread();
    if (thread == nullptr) {
        throw std::logic_error("the scheduler runs only on the service thread");
    }
    while (!thread->Terminated()) {
        const bool schedule_match = RenderScheduleTime(clock.Now(), clock.TimeSeparator()) == schedule_time;
        if (run_now || schedule_match) {
            if (schedule_match) {
                clock.Sleep(clock.RandomDelay());
            }
            run_now = false;
            run_audit();
            // A stop or shutdown that came during the run has cut it short; it is handled at once rather
            // than after the pause.
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
