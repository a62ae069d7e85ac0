#pragma once
// The one type for the end of a bounded wait (a TCP connect or read, a TLS handshake, an HTTP exchange, a
// proxy's answer, an SNMP answer), on the steady clock, and the cut-off by which a stop ends every wait
// that follows it. Portable and header-only; the platform's waits take it, so no wait can outlast either.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <limits>
#include <optional>

namespace telva {

using SteadyClock = std::chrono::steady_clock;

// A moment that one thread sets and the waits of others end by: when a stop came, the time by which the
// run's remaining calls must be done. Set at most once in effect (a later, later moment changes nothing);
// safe to set and read from any thread, and from nothing but atomics.
class Cutoff {
public:
    void Set(SteadyClock::time_point at) noexcept {
        const SteadyClock::rep wanted = at.time_since_epoch().count();
        SteadyClock::rep current = ticks_.load();
        while (wanted < current && !ticks_.compare_exchange_weak(current, wanted)) {
        }
    }
    void Clear() noexcept { ticks_.store(kUnset); }
    std::optional<SteadyClock::time_point> Get() const noexcept {
        const SteadyClock::rep ticks = ticks_.load();
        if (ticks == kUnset) {
            return std::nullopt;
        }
        return SteadyClock::time_point(SteadyClock::duration(ticks));
    }

private:
    static constexpr SteadyClock::rep kUnset = std::numeric_limits<SteadyClock::rep>::max();
    std::atomic<SteadyClock::rep> ticks_{kUnset};
};

class Deadline {
public:
    // While a cut-off may still come, no single wait lasts longer than this, so that a wait notices the
    // cut-off soon after it is set.
    static constexpr std::uint32_t kCutoffPollMs = 100;

    explicit Deadline(SteadyClock::time_point end, const Cutoff* cutoff = nullptr)
        : end_(end), cutoff_(cutoff) {}

    // `milliseconds` from now.
    static Deadline In(std::uint32_t milliseconds, const Cutoff* cutoff = nullptr) {
        return Deadline(SteadyClock::now() + std::chrono::milliseconds(milliseconds), cutoff);
    }

    // This deadline, ended no later than `milliseconds` from now: an idle wait within a whole exchange.
    Deadline Within(std::uint32_t milliseconds) const {
        return Deadline(std::min(end_, SteadyClock::now() + std::chrono::milliseconds(milliseconds)),
                        cutoff_);
    }

    // The moment the wait ends: the end it was given, or the cut-off when that came and is earlier.
    SteadyClock::time_point End() const {
        if (cutoff_ != nullptr) {
            if (const auto cut = cutoff_->Get()) {
                return std::min(end_, *cut);
            }
        }
        return end_;
    }

    // Whole milliseconds left, rounded up (0 once the end has passed).
    std::uint32_t LeftMs() const {
        const auto left = End() - SteadyClock::now();
        if (left <= SteadyClock::duration::zero()) {
            return 0;
        }
        const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
        return static_cast<std::uint32_t>(
            std::min<std::int64_t>(ms, std::numeric_limits<std::uint32_t>::max()));
    }

    bool Expired() const { return LeftMs() == 0; }

    // Whether a cut-off has come that ends this wait before the end it was given.
    bool CutShort() const {
        if (cutoff_ == nullptr) {
            return false;
        }
        const auto cut = cutoff_->Get();
        return cut && *cut < end_;
    }

    // The length of the next single wait: what is left, at most `cap`, and at most kCutoffPollMs while a
    // cut-off may still come. 0 once the end has passed.
    std::uint32_t NextWaitMs(std::uint32_t cap = std::numeric_limits<std::uint32_t>::max()) const {
        std::uint32_t wait = std::min(cap, LeftMs());
        if (cutoff_ != nullptr && !cutoff_->Get()) {
            wait = std::min(wait, kCutoffPollMs);
        }
        return wait;
    }

    const Cutoff* cutoff() const { return cutoff_; }

private:
    SteadyClock::time_point end_;
    const Cutoff* cutoff_ = nullptr;
};

} // namespace telva
