#pragma once
// A log sink that keeps its lines in memory instead of writing them anywhere: for a caller that shows the
// lines itself (the check of an installation reports the server calls' lines at the console).

#include "run_context.h"

#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace telva {

class CollectedLines final : public LogSink {
public:
    void Write(std::string_view message) noexcept override {
        try {
            const std::lock_guard lock(mutex_);
            lines_.emplace_back(message);
        } catch (...) {
            // Memory ran out: the line is lost, as a log line would be.
        }
    }
    // Every line kept so far.
    std::vector<std::string> Lines() {
        const std::lock_guard lock(mutex_);
        return lines_;
    }
    // The lines kept since the last call, which are let go.
    std::vector<std::string> Take() {
        const std::lock_guard lock(mutex_);
        return std::exchange(lines_, {});
    }

private:
    std::mutex mutex_;
    std::vector<std::string> lines_;
};

} // namespace telva
