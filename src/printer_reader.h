#pragma once
// Reading the six counters of every printer of a run: one printer after the other, or, when the settings
// ask for it, several at the same time on threads of their own. Either way each printer has its own SNMP
// client that makes its six queries in field order, and the printers' lines and readings come out in list
// order, so the log and the upload are those of a run that read one printer after the other.

#include "printer.h"
#include "run_context.h"

#include <cstddef>
#include <functional>
#include <vector>

namespace telva {

// What reading one printer gave.
struct PrinterReading {
    CounterReadings readings;
    // How many of its queries got an answer (an answer with an error status, such as an identifier the
    // printer does not hold, is an answer).
    std::size_t answered = 0;
    // All its queries were made (or an error ended them). False for a printer that a stop or shutdown left
    // unread or cut short: the readings taken before it stay.
    bool finished = false;
};

struct ReadOutcome {
    std::size_t finished = 0;             // printers whose queries were all made
    StopRequest stop = StopRequest::None; // the request that cut the reading short, if one did
};

// Reads `printers` with up to `parallel` of them at the same time (1: one after the other, on this thread).
// `take(i, reading)` gets every printer's reading on this thread, in list order, right after the printer's
// lines have been written to the context's log; a printer left unread by a stop gets one without readings.
// A stop or shutdown waiting in the context is noticed before each printer and between its queries: no
// further query is made then. The trap port is held for the whole reading when `parallel` is above 1,
// by each printer's client otherwise; when it is in use, one line says so and the reading goes on.
ReadOutcome ReadPrinters(RunContext& context, const std::vector<Printer>& printers, int parallel,
                         const std::function<void(std::size_t, PrinterReading&)>& take);

} // namespace telva
