#include "clock.h"

#include "platform/regional.h"
#include "platform/sleep.h"

#include <mutex>
#include <random>

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

class RealClock final : public Clock {
public:
    platform::LocalDateTime Now() override { return platform::GetLocalDateTime(); }
    void Sleep(std::uint32_t milliseconds) override { platform::SleepMilliseconds(milliseconds); }
    bool SleepUnless(std::uint32_t milliseconds, Interruption& interruption) override {
        return interruption.Await(milliseconds);
    }
    std::uint32_t RandomDelay() override { return DrawRandomDelay(); }
    std::string TimeSeparator() override { return platform::TimeSeparator(); }
    std::string DateSeparator() override { return platform::DateSeparator(); }
};

} // namespace

Clock& SystemClock() {
    static RealClock clock;
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

} // namespace telva
