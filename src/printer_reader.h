#pragma once
// Reading the six counters of every printer of a run: one printer after the other, or, when the settings
// ask for it, several at the same time on threads of their own. Either way each printer has its own SNMP
// client that makes its six queries in field order, and the printers' lines and readings come out in list
// order, so the log and the upload are those of a run that read one printer after the other.

#include "printer.h"
#include "run_context.h"

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace telva {

// What became of one query.
enum class QueryResult : std::uint8_t {
    NotAsked,    // a stop, an error or an earlier unanswered query left it out
    NoAnswer,    // nothing came back within the wait
    Refused,     // the datagram was refused at once (nothing listens on the printer's SNMP port): no answer
    Value,       // an answer with error status 0: its value is the reading
    ErrorStatus, // an answer with another error status (an identifier the printer lacks): no reading
};

// What the check asks a printer that answered about itself: the device description and the serial number.
inline constexpr const char* kDescriptionOid = "1.3.6.1.2.1.1.1.0";
inline constexpr const char* kSerialNumberOid = "1.3.6.1.2.1.43.5.1.1.17.1";

// One such query's result, and the text or error status it gave.
struct IdentityAnswer {
    QueryResult result = QueryResult::NotAsked;
    std::string text; // with QueryResult::Value
    std::int32_t error_status = 0;
};

// What reading one printer gave.
struct PrinterReading {
    CounterReadings readings;
    std::array<QueryResult, kCounterCount> results{};
    std::array<std::int32_t, kCounterCount> error_status{}; // of each answer
    std::string error; // the text of the error that ended the printer's queries, if one did
    std::chrono::milliseconds elapsed{0};
    // How many of its queries got an answer (an answer with an error status, such as an identifier the
    // printer does not hold, is an answer).
    std::size_t answered = 0;
    // All its queries were made (or an error ended them). False for a printer that a stop or shutdown left
    // unread or cut short: the readings taken before it stay.
    bool finished = false;
    // Asked only with ReadOptions::identify, of a printer that answered a counter query.
    IdentityAnswer description;
    IdentityAnswer serial;
};

struct ReadOutcome {
    std::size_t finished = 0;             // printers whose queries were all made
    StopRequest stop = StopRequest::None; // the request that cut the reading short, if one did
};

struct ReadOptions {
    int parallel = 1; // how many printers are read at the same time
    // A printer that leaves a query unanswered is asked nothing more (a check wants the verdict, not five
    // more waits); the service asks every counter.
    bool stop_at_first_silence = false;
    // Whether the local trap port is held while printers are read, as the service does.
    bool hold_trap_port = true;
    // After the counters, a printer that answered one of them is asked its serial number and description
    // the same way (the check shows who answers; the service asks nothing more).
    bool identify = false;
};

// Reads `printers` with up to `options.parallel` of them at the same time (1: one after the other, on this
// thread).
// `take(i, reading)` gets every printer's reading on this thread, in list order, right after the printer's
// lines have been written to the context's log; a printer left unread by a stop gets one without readings.
// A stop or shutdown waiting in the context is noticed before each printer and between its queries: no
// further query is made then. The trap port is held for the whole reading when `parallel` is above 1,
// by each printer's client otherwise; when it is in use, one line says so and the reading goes on.
ReadOutcome ReadPrinters(RunContext& context, const std::vector<Printer>& printers,
                         const ReadOptions& options,
                         const std::function<void(std::size_t, PrinterReading&)>& take);

} // namespace telva
