#include "service/scheduler.h"

#include "commons/process_records.h"
#include "platform/regional.h"
#include "platform/sleep.h"
#include "service/service.h"

#include <cstdio>
#include <mutex>
#include <random>
#include <stdexcept>

namespace telva {
namespace {

struct RandomDelayGenerator {
    std::mutex mutex;
    std::mt19937_64 engine;
    bool seeded = false;

    void Seed() {
        const std::uint64_t ticks = platform::HighResolutionTicks();
        std::seed_seq seed{static_cast<std::uint32_t>(ticks), static_cast<std::uint32_t>(ticks >> 32)};
        engine.seed(seed);
        seeded = true;
    }
};

RandomDelayGenerator& Generator() {
    static RandomDelayGenerator generator;
    return generator;
}

class SystemClock final : public ScheduleClock {
public:
    platform::LocalDateTime Now() override { return platform::GetLocalDateTime(); }
    void Sleep(std::uint32_t milliseconds) override { platform::SleepMilliseconds(milliseconds); }
    std::uint32_t RandomDelay() override { return DrawRandomDelay(); }
    std::string TimeSeparator() override { return platform::TimeSeparator(); }
};

} // namespace

ScheduleClock& SystemScheduleClock() {
    static SystemClock clock;
    return clock;
}

void SeedRandomDelay() {
    RandomDelayGenerator& generator = Generator();
    const std::lock_guard lock(generator.mutex);
    generator.Seed();
}

std::uint32_t DrawRandomDelay() {
    RandomDelayGenerator& generator = Generator();
    const std::lock_guard lock(generator.mutex);
    if (!generator.seeded) {
        generator.Seed();
    }
    std::uniform_int_distribution<std::uint32_t> delay(kMinimumRunDelayMs, kRunDelayLimitMs - 1);
    return delay(generator.engine);
}

std::string RenderScheduleTime(const platform::LocalDateTime& time, const std::string& separator) {
    char hours[4];
    char minutes[4];
    std::snprintf(hours, sizeof hours, "%02d", time.hour % 100);
    std::snprintf(minutes, sizeof minutes, "%02d", time.minute % 100);
    return hours + separator + minutes;
}

void RunScheduleLoop(TService& service, ScheduleClock& clock, const std::function<void()>& run_audit) {
    TServiceThread* thread = service.ServiceThread();
    if (thread == nullptr) {
        throw std::logic_error("the scheduler runs only on the service thread");
    }
    while (!thread->Terminated()) {
        const bool schedule_match =
            RenderScheduleTime(clock.Now(), clock.TimeSeparator()) == AuditSettings.ScheduleTime;
        if (RunNow || schedule_match) {
            if (schedule_match) {
                clock.Sleep(clock.RandomDelay());
            }
            RunNow = false;
            run_audit();
        }
        clock.Sleep(kSchedulePauseMs);
        thread->ProcessRequests();
    }
}

} // namespace telva
