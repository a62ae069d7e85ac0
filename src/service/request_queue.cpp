#include "service/request_queue.h"

namespace telva {

void PortableRequestQueue::Create() {}

void PortableRequestQueue::Post(std::uint32_t code) {
    {
        const std::lock_guard lock(mutex_);
        codes_.push_back(code);
    }
    arrived_.notify_all();
}

std::optional<std::uint32_t> PortableRequestQueue::TakeNext() {
    const std::lock_guard lock(mutex_);
    if (codes_.empty()) {
        return std::nullopt;
    }
    const std::uint32_t code = codes_.front();
    codes_.pop_front();
    return code;
}

void PortableRequestQueue::SuspendUntilNextRequest() {
    std::unique_lock lock(mutex_);
    suspended_ = true;
    arrived_.wait(lock, [this] { return !codes_.empty(); });
    suspended_ = false;
}

bool PortableRequestQueue::Suspended() const {
    const std::lock_guard lock(mutex_);
    return suspended_;
}

} // namespace telva
