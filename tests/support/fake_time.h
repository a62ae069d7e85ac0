#pragma once
// A clock that returns the times a test queues and records the sleeps asked of it, without waiting.

#include "commons/time_source.h"

#include <deque>
#include <vector>

namespace telva::test {

class FakeTime final : public TimeSource {
public:
    explicit FakeTime(platform::LocalDateTime start = {2024, 3, 5, 14, 7, 9, 45}) : current_(start) {}

    // The next readings, in order; once they are used up the last one repeats.
    void Queue(platform::LocalDateTime t) { queued_.push_back(t); }

    platform::LocalDateTime Now() override {
        if (!queued_.empty()) {
            current_ = queued_.front();
            queued_.pop_front();
        }
        return current_;
    }
    void Sleep(std::uint32_t milliseconds) override { sleeps.push_back(milliseconds); }

    std::vector<std::uint32_t> sleeps;

private:
    platform::LocalDateTime current_;
    std::deque<platform::LocalDateTime> queued_;
};

} // namespace telva::test
