#pragma once
// The control-request queue of the service thread and the pause that freezes that thread until the next
// request. Requests are posted from the thread that talks to the service manager and taken, without
// waiting, by the service thread in ProcessRequests.

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>

namespace telva {

class ControlRequestQueue {
public:
    virtual ~ControlRequestQueue() = default;

    // Called on the service thread before its first status report; requests can be taken from then on.
    virtual void Create() = 0;
    // Any thread: adds one control code and, when the service thread is suspended, wakes it. Never blocks
    // for long and never runs a handler.
    virtual void Post(std::uint32_t code) = 0;
    // Service thread: the oldest waiting control code, or none at once when the queue is empty.
    virtual std::optional<std::uint32_t> TakeNext() = 0;
    // Service thread: freezes the thread until a request is waiting in the queue. A request that came in
    // before the call ends the pause at once, so a pause followed closely by a continue never sticks.
    virtual void SuspendUntilNextRequest() = 0;
    virtual bool Suspended() const = 0;
};

// The queue in memory, with a condition variable for the pause: the POSIX build's queue, and the one the
// lifecycle tests run against.
class PortableRequestQueue final : public ControlRequestQueue {
public:
    void Create() override;
    void Post(std::uint32_t code) override;
    std::optional<std::uint32_t> TakeNext() override;
    void SuspendUntilNextRequest() override;
    bool Suspended() const override;

private:
    mutable std::mutex mutex_;
    std::condition_variable arrived_;
    std::deque<std::uint32_t> codes_;
    bool suspended_ = false;
};

} // namespace telva
