#pragma once
// A clock standing still at one chosen moment, for forms whose boundary must be known in advance.

#include "commons/time_source.h"

namespace telva::testing {

class FixedTime final : public TimeSource {
public:
    explicit FixedTime(platform::LocalDateTime now) : now_(now) {}
    platform::LocalDateTime Now() override { return now_; }
    void Sleep(std::uint32_t) override {}

private:
    platform::LocalDateTime now_;
};

// 5 March 2024, 14:07:09.045: the boundary --------030524140709045.
inline platform::LocalDateTime WorkedExampleMoment() {
    return {2024, 3, 5, 14, 7, 9, 45};
}

} // namespace telva::testing
