#pragma once
// One complete audit run: login, fetch the printers, read six counters of each by SNMP, upload all readings
// in one form, logout.

#include "printer.h"
#include "run_context.h"
#include "server/json.h"

#include <string>
#include <vector>

namespace telva {

// How a run went, for a caller that reports it (the one-off run of the command line).
struct AuditOutcome {
    bool server_ok = false;   // logged in, received a usable list, and the server accepted the upload
    std::size_t printers = 0; // in the list
    std::size_t read = 0;     // every query answered
    std::size_t partial = 0;  // some queries answered
};

// Runs one audit with `context`: every step's line goes to its log. Never raises for a server or printer
// failure (they are logged); an error that escapes (memory running out) ends the run.
AuditOutcome RunAudit(RunContext& context);

} // namespace telva
