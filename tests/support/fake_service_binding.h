#pragma once
// A service binding for the lifecycle tests and the in-process run tier: records every status report and
// event-log entry, takes its queue from the portable implementation, and lets a test wait (bounded) for a
// report.

#include "service/service.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace telva::test {

class FakeServiceBinding final : public ServiceBinding {
public:
    std::uint32_t SendStatus(const ServiceStatusRecord& record) override {
        const std::lock_guard lock(mutex_);
        records_.push_back(record);
        changed_.notify_all();
        return status_error_;
    }
    std::unique_ptr<EventLogger> OpenEventSource(const std::string& source) override {
        return std::make_unique<Logger>(*this, source);
    }
    std::string SystemErrorText(std::uint32_t code) override { return "system text " + std::to_string(code); }
    std::unique_ptr<ControlRequestQueue> CreateRequestQueue() override {
        return std::make_unique<PortableRequestQueue>();
    }

    void FailStatusWith(std::uint32_t error) {
        const std::lock_guard lock(mutex_);
        status_error_ = error;
    }
    std::vector<ServiceStatusRecord> Records() {
        const std::lock_guard lock(mutex_);
        return records_;
    }
    std::vector<std::uint32_t> States() {
        std::vector<std::uint32_t> states;
        for (const auto& record : Records()) {
            states.push_back(record.current_state);
        }
        return states;
    }
    std::vector<std::string> Events() {
        const std::lock_guard lock(mutex_);
        return events_;
    }
    // Waits up to 10 s until `count` reports of `state` have been sent.
    bool WaitForState(ServiceState state, std::size_t count = 1) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(10), [&] {
            std::size_t seen = 0;
            for (const auto& record : records_) {
                seen += record.current_state == ReportedNumber(state) ? 1 : 0;
            }
            return seen >= count;
        });
    }

private:
    class Logger final : public EventLogger {
    public:
        Logger(FakeServiceBinding& owner, std::string source) : owner_(owner), source_(std::move(source)) {}
        void LogMessage(const std::string& message) override {
            const std::lock_guard lock(owner_.mutex_);
            owner_.events_.push_back(source_ + ": " + message);
        }

    private:
        FakeServiceBinding& owner_;
        std::string source_;
    };

    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<ServiceStatusRecord> records_;
    std::vector<std::string> events_;
    std::uint32_t status_error_ = 0;
};

// A bare service object whose handlers the tests set.
class TestService : public Service {
public:
    explicit TestService(ServiceBinding& binding) : Service("TELVA4Audit", "Test display", binding) {}
    bool HandleCustomRequest(std::uint32_t code) override {
        if (code == 201) {
            throw std::runtime_error("custom trouble");
        }
        return Service::HandleCustomRequest(code);
    }
};

} // namespace telva::test
