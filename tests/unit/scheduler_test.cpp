#include "fake_service_binding.h"

#include "commons/process_records.h"
#include "service/scheduler.h"

#include <gtest/gtest.h>

#include <deque>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace telva {
namespace {

using testing::FakeServiceBinding;
using testing::TestService;

constexpr std::int64_t kSecond = 1000;
constexpr std::int64_t kMinute = 60 * kSecond;
constexpr std::int64_t kHour = 60 * kMinute;
constexpr std::int64_t kDay = 24 * kHour;

std::int64_t At(int hour, int minute, int second) {
    return hour * kHour + minute * kMinute + second * kSecond;
}

// A wall clock in milliseconds since the first midnight that moves only when the loop sleeps.
class FakeClock final : public ScheduleClock {
public:
    std::string Separator = ":";
    std::deque<std::uint32_t> Delays; // drawn in order; 1000 ms once they are used up
    std::vector<std::uint32_t> Sleeps;
    // Called before each sleep with its length, on the service thread.
    std::function<void(std::uint32_t)> BeforeSleep;

    void Set(std::int64_t now) {
        const std::lock_guard lock(mutex_);
        now_ = now;
    }
    std::int64_t Time() {
        const std::lock_guard lock(mutex_);
        return now_;
    }

    platform::LocalDateTime Now() override {
        const std::int64_t now = Time() % kDay;
        platform::LocalDateTime time;
        time.year = 2024;
        time.month = 5;
        time.day = 1;
        time.hour = static_cast<int>(now / kHour);
        time.minute = static_cast<int>(now % kHour / kMinute);
        time.second = static_cast<int>(now % kMinute / kSecond);
        return time;
    }
    void Sleep(std::uint32_t milliseconds) override {
        Sleeps.push_back(milliseconds);
        if (BeforeSleep) {
            BeforeSleep(milliseconds);
        }
        Advance(milliseconds);
    }
    std::uint32_t RandomDelay() override {
        if (Delays.empty()) {
            return 1000;
        }
        const std::uint32_t delay = Delays.front();
        Delays.pop_front();
        return delay;
    }
    std::string TimeSeparator() override { return Separator; }

    void Advance(std::int64_t milliseconds) {
        const std::lock_guard lock(mutex_);
        now_ += milliseconds;
    }

private:
    std::mutex mutex_;
    std::int64_t now_ = 0;
};

// Runs the scheduler loop inside the real lifecycle with a fake clock. Every audit run takes RunLength of
// fake time; a stop is queued once the clock reaches StopAt.
class SchedulerRun {
public:
    FakeServiceBinding binding;
    TestService service{binding};
    FakeClock clock;
    std::int64_t RunLength = 0;
    std::int64_t StopAt = kDay;
    std::vector<std::int64_t> RunStarts;
    std::vector<std::int64_t> Stops;
    std::function<void()> DuringRun;

    SchedulerRun(std::string schedule_time, std::int64_t start, bool run_now) {
        AuditSettings.ScheduleTime = std::move(schedule_time);
        RunNow = run_now;
        clock.Set(start);
        service.OnStop = [this](TService&, bool&) { Stops.push_back(clock.Time()); };
        service.OnExecute = [this](TService& self) {
            RunScheduleLoop(self, clock, [this] {
                RunStarts.push_back(clock.Time());
                if (DuringRun) {
                    DuringRun();
                }
                clock.Advance(RunLength);
            });
        };
        clock.BeforeSleep = [this](std::uint32_t) {
            if (!stop_sent_ && clock.Time() >= StopAt) {
                stop_sent_ = true;
                service.QueueControlRequest(kControlStop);
            }
        };
    }
    void Run() { service.RunService(); }

private:
    bool stop_sent_ = false;
};

TEST(ScheduleTime, RendersTwoDigitHoursAndMinutesAroundTheSeparator) {
    platform::LocalDateTime time;
    time.hour = 3;
    time.minute = 0;
    time.second = 20;
    EXPECT_EQ(RenderScheduleTime(time, ":"), "03:00");
    EXPECT_EQ(RenderScheduleTime(time, "."), "03.00");
    EXPECT_EQ(RenderScheduleTime(time, ""), "0300");
    time.hour = 23;
    time.minute = 59;
    EXPECT_EQ(RenderScheduleTime(time, " h "), "23 h 59");
}

TEST(RandomDelay, DrawsWholeMillisecondsInTheStatedRange) {
    SeedRandomDelay();
    std::uint32_t lowest = kRunDelayLimitMs;
    std::uint32_t highest = 0;
    for (int i = 0; i < 20000; ++i) {
        const std::uint32_t delay = DrawRandomDelay();
        ASSERT_GE(delay, kMinimumRunDelayMs);
        ASSERT_LT(delay, kRunDelayLimitMs);
        lowest = std::min(lowest, delay);
        highest = std::max(highest, delay);
    }
    // Uniform over almost 600 s: 20000 draws come close to both ends.
    EXPECT_LT(lowest, 1000u + 600u * 1000u / 100u);
    EXPECT_GT(highest, 600000u - 600u * 1000u / 100u);
}

TEST(Scheduler, ACheckAt030020MatchesAndOneAt030100DoesNot) {
    SchedulerRun matching("03:00", At(3, 0, 20), false);
    matching.clock.Delays = {2500};
    matching.StopAt = At(3, 0, 21);
    matching.Run();
    EXPECT_EQ(matching.RunStarts, std::vector<std::int64_t>{At(3, 0, 22) + 500});

    SchedulerRun late("03:00", At(3, 1, 0), false);
    late.StopAt = At(3, 30, 0);
    late.Run();
    EXPECT_TRUE(late.RunStarts.empty());
}

TEST(Scheduler, StartRunHasNoDelayAndAFullStopSeparatorNeverMatches) {
    SchedulerRun run("03:00", At(2, 0, 0), true);
    run.clock.Separator = ".";
    run.StopAt = At(2, 0, 0) + kDay + kHour;
    run.Run();
    EXPECT_EQ(run.RunStarts, std::vector<std::int64_t>{At(2, 0, 0)});
    // Only pauses: no random delay was ever drawn.
    for (const std::uint32_t sleep : run.clock.Sleeps) {
        EXPECT_EQ(sleep, kSchedulePauseMs);
    }
}

TEST(Scheduler, MalformedScheduleTimesNeverMatch) {
    for (const char* schedule : {"3:00", "24:00", "", "03:00 ", "03:0", "3h00"}) {
        SchedulerRun run(schedule, 0, false);
        run.StopAt = kDay + kMinute;
        run.Run();
        EXPECT_TRUE(run.RunStarts.empty()) << '"' << schedule << '"';
    }
}

TEST(Scheduler, MidnightMatchesTheFirstMinuteOfTheDay) {
    SchedulerRun run("00:00", At(23, 59, 0), false);
    run.StopAt = At(23, 59, 0) + 2 * kMinute;
    run.RunLength = 70 * kSecond; // one run covers the rest of the minute
    run.Run();
    ASSERT_EQ(run.RunStarts.size(), 1u);
    EXPECT_EQ(run.RunStarts[0] % kDay / kMinute, 0);
    EXPECT_EQ(run.RunStarts[0] - kDay, run.RunStarts[0] % kDay);
}

TEST(Scheduler, StartWithinTheMinuteWaitsTheRandomDelay) {
    SchedulerRun run("03:00", At(3, 0, 5), true);
    run.clock.Delays = {4000};
    run.RunLength = kMinute;
    run.StopAt = At(3, 2, 0);
    run.Run();
    EXPECT_EQ(run.RunStarts, std::vector<std::int64_t>{At(3, 0, 9)});
    EXPECT_FALSE(RunNow);
}

TEST(Scheduler, ShortRunsRepeatWithinTheScheduledMinute) {
    SchedulerRun run("03:00", At(3, 0, 10), false);
    run.RunLength = 5 * kSecond;
    run.StopAt = At(3, 5, 0);
    run.Run();
    // Each turn: 1 s delay, 5 s run, 10 s pause; checks at :10, :26, :42, :58 match, 03:01:14 does not.
    EXPECT_EQ(run.RunStarts,
              (std::vector<std::int64_t>{At(3, 0, 11), At(3, 0, 27), At(3, 0, 43), At(3, 0, 59)}));
}

TEST(Scheduler, AStartRunThatOutlastsTheMinuteMissesTheDay) {
    SchedulerRun run("03:00", At(2, 59, 55), true);
    run.RunLength = 70 * kSecond;
    run.StopAt = At(2, 59, 55) + kDay - kHour;
    run.Run();
    EXPECT_EQ(run.RunStarts, std::vector<std::int64_t>{At(2, 59, 55)});
}

TEST(Scheduler, StopDuringALongDelayWaitsForDelayRunAndPause) {
    SchedulerRun run("03:00", At(3, 0, 0), false);
    run.clock.Delays = {9 * 60 * 1000};
    run.RunLength = 30 * kSecond;
    run.StopAt = At(3, 0, 0); // queued as the delay begins
    run.Run();
    EXPECT_EQ(run.RunStarts, std::vector<std::int64_t>{At(3, 9, 0)});
    EXPECT_EQ(run.Stops, std::vector<std::int64_t>{At(3, 9, 40)});
}

TEST(Scheduler, AThreadPausedThroughTheMinuteMissesTheRun) {
    SchedulerRun run("03:00", At(2, 59, 0), false);
    std::atomic<bool> pause_sent{false};
    run.clock.BeforeSleep = [&](std::uint32_t) {
        if (!pause_sent.exchange(true)) {
            run.service.QueueControlRequest(kControlPause);
        } else if (run.clock.Time() >= At(3, 10, 0)) {
            run.service.QueueControlRequest(kControlStop);
        }
    };
    std::thread service_main([&] { run.Run(); });
    ASSERT_TRUE(run.binding.WaitForState(csPaused));
    run.clock.Set(At(3, 5, 0)); // the machine's clock moves on while the thread is frozen
    run.service.QueueControlRequest(kControlContinue);
    service_main.join();
    EXPECT_TRUE(run.RunStarts.empty());
}

TEST(Scheduler, AnErrorOutOfTheRunEndsTheLoopAtOnce) {
    SchedulerRun run("03:00", At(1, 0, 0), true);
    run.DuringRun = [] { throw std::runtime_error("unreadable printer value"); };
    run.Run();
    EXPECT_EQ(run.RunStarts.size(), 1u);
    EXPECT_TRUE(run.clock.Sleeps.empty()); // no pause after the failed run
    EXPECT_FALSE(RunNow);
    EXPECT_EQ(run.binding.Events(),
              std::vector<std::string>{"TELVA4Audit: Service failed on execute: unreadable printer value"});
    EXPECT_EQ(run.binding.States().back(), 1u);
}

} // namespace
} // namespace telva
