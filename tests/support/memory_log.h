#pragma once
// A log sink that keeps the lines in memory, for tests that read what a run wrote without the daily file.

#include "run_context.h"

#include <mutex>
#include <string>
#include <vector>

namespace telva::test {

class MemoryLog final : public LogSink {
public:
    void Write(std::string_view message) noexcept override {
        try {
            const std::lock_guard lock(mutex_);
            lines_.emplace_back(message);
        } catch (...) {
        }
    }
    std::vector<std::string> Lines() {
        const std::lock_guard lock(mutex_);
        return lines_;
    }

private:
    std::mutex mutex_;
    std::vector<std::string> lines_;
};

} // namespace telva::test
