#include "support/fake_service_binding.h"

#include "scheduler.h"
#include "support/fake_clock.h"
#include "support/memory_log.h"

#include <gtest/gtest.h>

#include <deque>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace telva {
namespace {

using test::FakeServiceBinding;
using test::TestService;

constexpr std::int64_t kSecond = test::kSecondMs;
constexpr std::int64_t kMinute = test::kMinuteMs;
constexpr std::int64_t kHour = test::kHourMs;
constexpr std::int64_t kDay = test::kDayMs;

std::int64_t At(int hour, int minute, int second) {
    return hour * kHour + minute * kMinute + second * kSecond;
}

using test::FakeClock;

// Runs the scheduler loop inside the real lifecycle with a fake clock. Every audit run takes run_length of
// fake time and ends with the next of `failures` (none once they are used up); a stop is queued once the
// clock reaches stop_at.
class SchedulerRun {
public:
    FakeServiceBinding binding;
    TestService service{binding};
    FakeClock clock;
    test::MemoryLog log;
    RunContext context{clock, log};
    std::int64_t run_length = 0;
    std::int64_t stop_at = kDay;
    std::vector<std::int64_t> run_starts;
    std::vector<std::int64_t> stops;
    std::function<void()> during_run;
    std::deque<std::optional<RunFailure>> failures;

    bool run_now = true;

    SchedulerRun(std::string schedule, std::int64_t start, bool run_at_start) : run_now(run_at_start) {
        context.settings.schedule_time = std::move(schedule);
        clock.Set(start);
        service.on_stop = [this](Service&, bool&) { stops.push_back(clock.Time()); };
        service.on_execute = [this](Service& self) {
            RunScheduleLoop(self, context, run_now, [this] {
                run_starts.push_back(clock.Time());
                if (during_run) {
                    during_run();
                }
                clock.Advance(run_length);
                std::optional<RunFailure> failure;
                if (!failures.empty()) {
                    failure = failures.front();
                    failures.pop_front();
                }
                return failure;
            });
        };
        clock.before_sleep = [this](std::uint32_t) {
            if (!stop_sent_ && clock.Time() >= stop_at) {
                stop_sent_ = true;
                service.QueueControlRequest(kControlStop);
            }
        };
    }
    void Run() { service.RunService(); }

private:
    bool stop_sent_ = false;
};

TEST(schedule_time, RendersTwoDigitHoursAndMinutesAroundTheSeparator) {
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
    matching.clock.delays = {2500};
    matching.stop_at = At(3, 0, 21);
    matching.Run();
    EXPECT_EQ(matching.run_starts, std::vector<std::int64_t>{At(3, 0, 22) + 500});

    SchedulerRun late("03:00", At(3, 1, 0), false);
    late.stop_at = At(3, 30, 0);
    late.Run();
    EXPECT_TRUE(late.run_starts.empty());
}

TEST(Scheduler, StartRunHasNoDelayAndAFullStopSeparatorNeverMatches) {
    SchedulerRun run("03:00", At(2, 0, 0), true);
    run.clock.time_separator = ".";
    run.stop_at = At(2, 0, 0) + kDay + kHour;
    run.Run();
    EXPECT_EQ(run.run_starts, std::vector<std::int64_t>{At(2, 0, 0)});
    // Only pauses: no random delay was ever drawn.
    for (const std::uint32_t sleep : run.clock.Sleeps()) {
        EXPECT_EQ(sleep, kSchedulePauseMs);
    }
}

TEST(Scheduler, MalformedScheduleTimesNeverMatch) {
    for (const char* schedule : {"3:00", "24:00", "", "03:00 ", "03:0", "3h00"}) {
        SchedulerRun run(schedule, 0, false);
        run.stop_at = kDay + kMinute;
        run.Run();
        EXPECT_TRUE(run.run_starts.empty()) << '"' << schedule << '"';
    }
}

TEST(Scheduler, MidnightMatchesTheFirstMinuteOfTheDay) {
    SchedulerRun run("00:00", At(23, 59, 0), false);
    run.stop_at = At(23, 59, 0) + 2 * kMinute;
    run.run_length = 70 * kSecond; // one run covers the rest of the minute
    run.Run();
    ASSERT_EQ(run.run_starts.size(), 1u);
    EXPECT_EQ(run.run_starts[0] % kDay / kMinute, 0);
    EXPECT_EQ(run.run_starts[0] - kDay, run.run_starts[0] % kDay);
}

TEST(Scheduler, StartWithinTheMinuteWaitsTheRandomDelay) {
    SchedulerRun run("03:00", At(3, 0, 5), true);
    run.clock.delays = {4000};
    run.run_length = kMinute;
    run.stop_at = At(3, 2, 0);
    run.Run();
    EXPECT_EQ(run.run_starts, std::vector<std::int64_t>{At(3, 0, 9)});
    EXPECT_FALSE(run.run_now);
}

TEST(Scheduler, ShortRunsRepeatWithinTheScheduledMinute) {
    SchedulerRun run("03:00", At(3, 0, 10), false);
    run.run_length = 5 * kSecond;
    run.stop_at = At(3, 5, 0);
    run.Run();
    // Each turn: 1 s delay, 5 s run, 10 s pause; checks at :10, :26, :42, :58 match, 03:01:14 does not.
    EXPECT_EQ(run.run_starts,
              (std::vector<std::int64_t>{At(3, 0, 11), At(3, 0, 27), At(3, 0, 43), At(3, 0, 59)}));
}

TEST(Scheduler, AStartRunThatOutlastsTheMinuteMissesTheDay) {
    SchedulerRun run("03:00", At(2, 59, 55), true);
    run.run_length = 70 * kSecond;
    run.stop_at = At(2, 59, 55) + kDay - kHour;
    run.Run();
    EXPECT_EQ(run.run_starts, std::vector<std::int64_t>{At(2, 59, 55)});
}

TEST(Scheduler, AStopOrShutdownBeforeTheRunEndsTheDelayAtOnceAndNoRunStarts) {
    constexpr std::uint32_t kDelay = 9 * 60 * 1000;
    for (const std::uint32_t request : {kControlStop, kControlShutdown}) {
        SCOPED_TRACE(request);
        SchedulerRun run("03:00", At(3, 0, 0), false);
        run.clock.delays = {kDelay};
        run.clock.before_sleep = [&](std::uint32_t milliseconds) {
            if (milliseconds == kDelay) { // 30 s into the delay
                run.clock.Advance(30 * kSecond);
                run.service.QueueControlRequest(request);
            }
        };
        run.Run();
        EXPECT_TRUE(run.run_starts.empty());
        EXPECT_EQ(run.stops, request == kControlStop ? std::vector<std::int64_t>{At(3, 0, 30)}
                                                     : std::vector<std::int64_t>{});
        EXPECT_EQ(run.clock.Sleeps(), std::vector<std::uint32_t>{kDelay}); // no pause either
        EXPECT_EQ(run.clock.Time(), At(3, 0, 30));
    }
    // A stop that came while the service started: no start run.
    SchedulerRun starting("03:00", At(1, 0, 0), true);
    starting.service.on_start = [](Service& self, bool&) { self.QueueControlRequest(kControlStop); };
    starting.Run();
    EXPECT_TRUE(starting.run_starts.empty());
    EXPECT_EQ(starting.stops, std::vector<std::int64_t>{At(1, 0, 0)});
}

TEST(Scheduler, AThreadPausedThroughTheMinuteMissesTheRun) {
    SchedulerRun run("03:00", At(2, 59, 0), false);
    std::atomic<bool> pause_sent{false};
    run.clock.before_sleep = [&](std::uint32_t) {
        if (!pause_sent.exchange(true)) {
            run.service.QueueControlRequest(kControlPause);
        } else if (run.clock.Time() >= At(3, 10, 0)) {
            run.service.QueueControlRequest(kControlStop);
        }
    };
    std::thread service_main([&] { run.Run(); });
    ASSERT_TRUE(run.binding.WaitForState(ServiceState::Paused));
    run.clock.Set(At(3, 5, 0)); // the machine's clock moves on while the thread is frozen
    run.service.QueueControlRequest(kControlContinue);
    service_main.join();
    EXPECT_TRUE(run.run_starts.empty());
}

TEST(Scheduler, AFailedRunIsTriedAgainWithoutDelayAtMostTwelveTimesOnlyWithRepetir) {
    for (const int minutes : {0, 30}) {
        SCOPED_TRACE(minutes);
        SchedulerRun run("99:99", At(1, 0, 0), true);
        run.context.settings.retry_minutes = minutes;
        run.failures.assign(20, RunFailure::LoginFailed);
        run.stop_at = At(9, 0, 0);
        run.Run();
        std::vector<std::int64_t> starts = {At(1, 0, 0)};
        std::vector<std::string> lines;
        for (int k = 1; minutes != 0 && k <= 12; ++k) {
            starts.push_back(At(1, 0, 0) + k * 30 * kMinute);
            platform::LocalDateTime at;
            at.hour = static_cast<int>(starts.back() / kHour);
            at.minute = static_cast<int>(starts.back() % kHour / kMinute);
            lines.push_back("Next try at " + RenderScheduleTime(at, ":") + " (" + std::to_string(k) +
                            " of 12): login failed");
        }
        EXPECT_EQ(run.run_starts, starts);
        EXPECT_EQ(run.log.Lines(), lines);
        for (const std::uint32_t sleep : run.clock.Sleeps()) {
            EXPECT_EQ(sleep, kSchedulePauseMs); // no random delay before a try
        }
        EXPECT_EQ(run.stops.size(), 1u);
    }
}

TEST(Scheduler, TheScheduledRunTakesOverFromTriesAndAStopEndsThem) {
    SchedulerRun run("03:00", At(1, 0, 0), true);
    run.context.settings.retry_minutes = 30;
    run.failures = {RunFailure::LoginFailed, RunFailure::PrinterListNotReceived, RunFailure::UploadFailed,
                    RunFailure::UploadFailed, RunFailure::UploadRefused};
    run.clock.delays = {60000};
    run.stop_at = At(3, 10, 0); // before the try at 03:31
    run.Run();
    // 01:30, 02:00 and 02:30 fit before 03:00; the scheduled run keeps its random delay.
    EXPECT_EQ(run.run_starts,
              (std::vector<std::int64_t>{At(1, 0, 0), At(1, 30, 0), At(2, 0, 0), At(2, 30, 0), At(3, 1, 0)}));
    EXPECT_EQ(run.log.Lines(),
              (std::vector<std::string>{"Next try at 01:30 (1 of 3): login failed",
                                        "Next try at 02:00 (2 of 3): printer list not received",
                                        "Next try at 02:30 (3 of 3): upload failed",
                                        "Next try at 03:31 (1 of 12): upload refused"}));
    EXPECT_EQ(run.stops.size(), 1u);

    // A stop that cuts a try short: the try is not announced again.
    SchedulerRun cut("03:00", At(1, 0, 0), true);
    cut.context.settings.retry_minutes = 30;
    cut.failures.assign(3, RunFailure::UploadFailed);
    cut.during_run = [&] {
        if (cut.run_starts.size() == 2) {
            cut.service.QueueControlRequest(kControlStop);
        }
    };
    cut.Run();
    EXPECT_EQ(cut.run_starts, (std::vector<std::int64_t>{At(1, 0, 0), At(1, 30, 0)}));
    EXPECT_EQ(cut.log.Lines(), std::vector<std::string>{"Next try at 01:30 (1 of 3): upload failed"});
    EXPECT_EQ(cut.stops, std::vector<std::int64_t>{At(1, 30, 0)});
}

TEST(Scheduler, AnErrorOutOfTheRunEndsTheLoopAtOnce) {
    SchedulerRun run("03:00", At(1, 0, 0), true);
    run.during_run = [] { throw std::runtime_error("unreadable printer value"); };
    run.Run();
    EXPECT_EQ(run.run_starts.size(), 1u);
    EXPECT_TRUE(run.clock.Sleeps().empty()); // no pause after the failed run
    EXPECT_FALSE(run.run_now);
    EXPECT_EQ(run.binding.Events(),
              std::vector<std::string>{"TELVA4Audit: Service failed on execute: unreadable printer value"});
    EXPECT_EQ(run.binding.States().back(), 1u);
}

} // namespace
} // namespace telva
