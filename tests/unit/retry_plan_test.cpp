// Trying a failed run again: when the tries fall, how many there are, and what ends them.

#include "retry_plan.h"
#include "support/fake_clock.h"

#include <gtest/gtest.h>

namespace telva {
namespace {

using test::kHourMs;
using test::kMinuteMs;
using test::kSecondMs;

std::int64_t TriesAt(int hour, int minute, int second = 0) {
    return hour * kHourMs + minute * kMinuteMs + second * kSecondMs;
}

struct RetryScene {
    test::FakeClock clock;
    RetryPlan plan;
    std::string schedule = "03:00";

    explicit RetryScene(int minutes, std::int64_t start) : plan(minutes) { clock.Set(start); }
    std::optional<std::string> Failed(RunFailure failure) {
        return plan.RunEnded(failure, clock.Now(), schedule, ":");
    }
    // Moves the clock on in 10-second checks until the pending try is due; the moment it was taken.
    std::int64_t WaitForTry() {
        for (int check = 0; check < 8640 * 2; ++check) {
            if (plan.TakeDueTry(clock.Now())) {
                return clock.Time();
            }
            clock.Advance(10 * kSecondMs);
        }
        return -1;
    }
};

TEST(RetryPlan, TriesFollowTheFailedRunAfterTheIntervalUntilOneIsAccepted) {
    RetryScene p(10, TriesAt(3, 5, 30));
    EXPECT_EQ(p.Failed(RunFailure::UploadRefused), "Next try at 03:15 (1 of 12): upload refused");
    EXPECT_FALSE(p.plan.TakeDueTry(p.clock.Now()));
    EXPECT_EQ(p.WaitForTry(), TriesAt(3, 15, 30));
    EXPECT_FALSE(p.plan.pending()); // taken: the try runs now

    p.clock.Advance(45 * kSecondMs); // the try itself takes 45 s and fails otherwise
    EXPECT_EQ(p.Failed(RunFailure::LoginFailed), "Next try at 03:26 (2 of 12): login failed");
    p.plan.Cancel(); // a stop, or the scheduled run taking over
    EXPECT_FALSE(p.plan.pending());
    p.clock.Advance(20 * kMinuteMs);
    EXPECT_FALSE(p.plan.TakeDueTry(p.clock.Now()));

    // The next failure begins a new round; an accepted upload ends it.
    EXPECT_EQ(p.Failed(RunFailure::PrinterListNotReceived),
              "Next try at 03:46 (1 of 12): printer list not received");
    EXPECT_EQ(p.WaitForTry(), TriesAt(3, 46, 15));
    EXPECT_EQ(p.plan.RunEnded(std::nullopt, p.clock.Now(), p.schedule, ":"), std::nullopt);
    EXPECT_FALSE(p.plan.pending());
    EXPECT_EQ(p.Failed(RunFailure::UploadFailed), "Next try at 03:56 (1 of 12): upload failed");

    RetryPlan off(0);
    EXPECT_EQ(off.RunEnded(RunFailure::UploadFailed, p.clock.Now(), "03:00", ":"), std::nullopt);
    EXPECT_FALSE(off.pending());
}

TEST(RetryPlan, AtMostTwelveTriesAndNoneAtOrPastTheNextScheduledRun) {
    // Far from the scheduled minute: twelve tries, then nothing more.
    RetryScene twelve(5, TriesAt(10, 0));
    for (int k = 1; k <= 12; ++k) {
        const auto line = twelve.Failed(RunFailure::UploadFailed);
        ASSERT_TRUE(line.has_value()) << k;
        EXPECT_NE(line->find("(" + std::to_string(k) + " of 12)"), std::string::npos) << *line;
        ASSERT_GE(twelve.WaitForTry(), 0);
    }
    EXPECT_EQ(twelve.Failed(RunFailure::UploadFailed), std::nullopt);
    EXPECT_FALSE(twelve.plan.pending());

    // Failed at 23:30 with the schedule at 03:00 and an hour between tries: 00:30, 01:30 and 02:30 fit.
    RetryScene night(60, TriesAt(23, 30));
    EXPECT_EQ(night.Failed(RunFailure::UploadFailed), "Next try at 00:30 (1 of 3): upload failed");
    for (int k = 2; k <= 3; ++k) {
        ASSERT_GE(night.WaitForTry(), 0);
        EXPECT_NE(night.Failed(RunFailure::UploadFailed)->find(std::to_string(k) + " of 3"),
                  std::string::npos);
    }
    EXPECT_EQ(night.WaitForTry(), TriesAt(26, 30));
    EXPECT_EQ(night.Failed(RunFailure::UploadFailed), std::nullopt); // 03:30 is past the scheduled run

    // A try would fall at 03:00 exactly, or the run ended within the scheduled minute: none.
    RetryScene close(5, TriesAt(2, 55));
    EXPECT_EQ(close.Failed(RunFailure::UploadFailed), std::nullopt);
    close.clock.Set(TriesAt(3, 0, 40));
    EXPECT_EQ(close.Failed(RunFailure::UploadFailed), std::nullopt);
    close.clock.Set(TriesAt(2, 54, 59));
    EXPECT_EQ(close.Failed(RunFailure::UploadFailed), "Next try at 02:59 (1 of 1): upload failed");

    // A schedule that never matches leaves only the cap.
    RetryScene unscheduled(720, TriesAt(3, 0));
    unscheduled.schedule = "3:00";
    EXPECT_EQ(unscheduled.Failed(RunFailure::UploadFailed), "Next try at 15:00 (1 of 12): upload failed");
}

} // namespace
} // namespace telva
