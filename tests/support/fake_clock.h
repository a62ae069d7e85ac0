#pragma once
// The one fake clock of the tests: local time that moves only when the code under test sleeps (or a test
// moves it), sleeps recorded instead of waited (an interruptible one ends early once its interruption has
// come), random delays drawn from a queue, and regional separators a test can change. Safe to read from the
// test's thread while the service thread uses it.

#include "clock.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace telva::test {

inline constexpr std::int64_t kSecondMs = 1000;
inline constexpr std::int64_t kMinuteMs = 60 * kSecondMs;
inline constexpr std::int64_t kHourMs = 60 * kMinuteMs;
inline constexpr std::int64_t kDayMs = 24 * kHourMs;

// 5 March 2024, 14:07:09.045: the moment of the worked examples (form boundary --------030524140709045).
inline platform::LocalDateTime WorkedExampleMoment() {
    return {2024, 3, 5, 14, 7, 9, 45};
}

class FakeClock final : public Clock {
public:
    // The clock starts at `start`; its date is the day that millisecond 0 (midnight) belongs to.
    explicit FakeClock(platform::LocalDateTime start = WorkedExampleMoment())
        : midnight_(std::chrono::year{start.year} / start.month / start.day),
          now_ms_(start.hour * kHourMs + start.minute * kMinuteMs + start.second * kSecondMs +
                  start.millisecond) {}

    // Milliseconds since midnight of the first day.
    std::int64_t Time() {
        const std::lock_guard lock(mutex_);
        return now_ms_;
    }
    void Set(std::int64_t milliseconds_since_first_midnight) {
        const std::lock_guard lock(mutex_);
        now_ms_ = milliseconds_since_first_midnight;
    }
    void Advance(std::int64_t milliseconds) {
        const std::lock_guard lock(mutex_);
        now_ms_ += milliseconds;
    }
    // Every sleep asked of the clock, in order.
    std::vector<std::uint32_t> Sleeps() {
        const std::lock_guard lock(mutex_);
        return sleeps_;
    }

    // Drawn in order by RandomDelay; 1000 ms once they are used up.
    std::deque<std::uint32_t> delays;
    // Called before each sleep with its length, on the sleeping thread.
    std::function<void(std::uint32_t)> before_sleep;
    std::string time_separator = ":";
    std::string date_separator = "/";

    // Readings that Now() hands out, in order, before it reads the moving clock again.
    void QueueReading(const platform::LocalDateTime& reading) {
        const std::lock_guard lock(mutex_);
        queued_.push_back(reading);
    }

    platform::LocalDateTime Now() override {
        {
            const std::lock_guard lock(mutex_);
            if (!queued_.empty()) {
                const platform::LocalDateTime reading = queued_.front();
                queued_.pop_front();
                return reading;
            }
        }
        const std::int64_t now = Time();
        const std::int64_t days = now >= 0 ? now / kDayMs : (now - kDayMs + 1) / kDayMs;
        const std::int64_t in_day = now - days * kDayMs;
        const std::chrono::year_month_day date{midnight_ + std::chrono::days{days}};
        platform::LocalDateTime time;
        time.year = static_cast<int>(date.year());
        time.month = static_cast<int>(static_cast<unsigned>(date.month()));
        time.day = static_cast<int>(static_cast<unsigned>(date.day()));
        time.hour = static_cast<int>(in_day / kHourMs);
        time.minute = static_cast<int>(in_day % kHourMs / kMinuteMs);
        time.second = static_cast<int>(in_day % kMinuteMs / kSecondMs);
        time.millisecond = static_cast<int>(in_day % kSecondMs);
        return time;
    }
    void Sleep(std::uint32_t milliseconds) override {
        {
            const std::lock_guard lock(mutex_);
            sleeps_.push_back(milliseconds);
        }
        if (before_sleep) {
            before_sleep(milliseconds);
        }
        Advance(milliseconds);
    }
    // Recorded and hooked like Sleep; an interruption that has come by the time the hook returns (a test
    // may move the clock and queue a stop there) ends the sleep without moving the clock further.
    bool SleepUnless(std::uint32_t milliseconds, Interruption& interruption) override {
        {
            const std::lock_guard lock(mutex_);
            sleeps_.push_back(milliseconds);
        }
        if (before_sleep) {
            before_sleep(milliseconds);
        }
        if (interruption.Await(0)) {
            return true;
        }
        Advance(milliseconds);
        return false;
    }
    std::uint32_t RandomDelay() override {
        const std::lock_guard lock(mutex_);
        if (delays.empty()) {
            return 1000;
        }
        const std::uint32_t delay = delays.front();
        delays.pop_front();
        return delay;
    }
    std::string TimeSeparator() override { return time_separator; }
    std::string DateSeparator() override { return date_separator; }

private:
    std::mutex mutex_;
    std::chrono::sys_days midnight_;
    std::int64_t now_ms_;
    std::vector<std::uint32_t> sleeps_;
    std::deque<platform::LocalDateTime> queued_;
};

} // namespace telva::test
