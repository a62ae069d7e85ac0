#include "run_history.h"

#include "lower_counters.h"
#include "site/reading_history_file.h"

#include <utility>

namespace telva {

RunHistory::RunHistory(RunContext& context)
    : context_(context), path_(context.reading_history_path), compare_(context.settings.compare_counters) {
    if (path_.empty()) {
        return;
    }
    HistoryRead read = LoadReadingHistory(path_);
    if (compare_) {
        if (!read.problem.empty()) {
            context_.Log(HistoryNotUsableLine(path_, read.problem));
        }
        kept_ = read.history; // the update changes its own copy as the printers come
    }
    next_.emplace(std::move(read.history), context.settings.contract_number, context.clock.Now());
}

bool RunHistory::Take(const Printer& printer, const CounterReadings& readings) {
    if (!next_) {
        return false;
    }
    next_->Add(printer.id, readings);
    if (!compare_) {
        return false;
    }
    const std::optional<std::string> line =
        CheckCounters(kept_, context_.settings.contract_number, printer, readings);
    if (line) {
        context_.Log(*line);
    }
    return line.has_value();
}

void RunHistory::UploadAccepted() {
    if (!next_) {
        return;
    }
    const std::string why = SaveReadingHistory(path_, std::move(*next_).Finish());
    next_.reset();
    if (!why.empty() && compare_) {
        context_.Log(HistoryNotSavedLine(path_, why));
    }
}

} // namespace telva
