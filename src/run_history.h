#pragma once
// The reading history's part in one audit run. Made once the printer list has come, it reads the history,
// compares each printer's readings with it when "conferir" asks for that (one line per printer with a
// counter lower than its last accepted reading), notes every printer of the upload, and saves the history
// those readings make once the server has accepted the upload. The history is kept whatever "conferir"
// says; without it the run's log stays as it was before there was a history, so a history that cannot be
// read or saved says nothing then (the next run with "conferir" says it).

#include "run_context.h"
#include "site/reading_history.h"

#include <optional>
#include <string>

namespace telva {

struct Printer;

class RunHistory {
public:
    // Reads the history the context names; keeps none when it names no file.
    explicit RunHistory(RunContext& context);

    // A printer's readings, once its lines are in the log. True when its counters went back and the line
    // that says so was written.
    bool Take(const Printer& printer, const CounterReadings& readings);

    // The server accepted the upload: the history becomes the one its readings make.
    void UploadAccepted();

private:
    RunContext& context_;
    std::string path_;
    bool compare_;
    ReadingHistory kept_; // what the readings are compared with; empty when they are not compared
    std::optional<HistoryUpdate> next_;
};

} // namespace telva
