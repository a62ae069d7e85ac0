#pragma once
// One complete audit run: login, fetch the printers, read six counters of each by SNMP, upload all readings
// in one form, logout.

#include "printer.h"
#include "retry_plan.h"
#include "run_context.h"
#include "server/json.h"

#include <optional>
#include <string>
#include <vector>

namespace telva {

// How a run went, for a caller that reports it (the one-off run of the command line).
struct AuditOutcome {
    // Why the run did not end with its upload accepted (the login, the printer list or the upload), in
    // words for a person; empty when it did.
    std::string failure;
    // The failure a later try of the whole run may mend (login, printer list not received, upload); none when
    // the upload was accepted or the run failed otherwise (a printer list it cannot use).
    std::optional<RunFailure> retryable;
    std::string logout_failure; // why the server did not take the logout; empty when it did or none was sent
    std::size_t printers = 0;   // in the list
    std::size_t read = 0;       // every query answered
    std::size_t partial = 0;    // some queries answered, and no error
    std::size_t failed = 0;     // an error ended the printer's reading (a name that does not resolve, ...)
    std::size_t lower = 0;      // with a counter lower than its last accepted reading (only with "conferir")
};

// Runs one audit with `context`: every step's line goes to its log. Never raises for a server or printer
// failure (they are logged); an error that escapes (memory running out) ends the run.
AuditOutcome RunAudit(RunContext& context);

} // namespace telva
