#pragma once
// The technician's check of an installation: the settings in effect, a login, the printer list, every
// printer's six counters read at the same time as many others (and, of a printer that answered, its serial
// number and description, to show who answers at each address), a logout; nothing is uploaded and nothing
// is written to the daily log (the run context's log only collects the server calls' lines for the report).

#include "printer.h"
#include "printer_reader.h"
#include "run_context.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace telva {

// How many printers a check reads at the same time unless "paralelo" asks for more.
inline constexpr int kCheckParallel = 32;

enum class StepResult { NotTried, Ok, Failed };

struct PrinterCheck {
    Printer printer;
    PrinterReading reading;
};

// What reading a printer gave.
enum class PrinterVerdict {
    Read,     // every query answered (an answer with an error status is an answer)
    Partial,  // some queries answered, then one was not
    NoAnswer, // the first query was not answered within the wait
    Refused,  // the first query was refused at once: the address is up, nothing listens for SNMP
    Error,    // an error ended the queries (a name that does not resolve, a socket that fails)
    NotRead,  // a stop came first
};
PrinterVerdict VerdictOf(const PrinterReading& reading);

// The verdict's word: "read", "partial", "no answer", "refused", "error" or "not read".
const char* PrinterOutcome(const PrinterReading& reading);

// The serial number the printer gave, without surrounding blanks; empty when it gave none (an error
// status, no answer to that query, an empty text, or not asked).
std::string_view PrinterSerial(const PrinterReading& reading);

// The description the printer gave (its model, as a rule); empty when it gave none.
std::string_view PrinterModel(const PrinterReading& reading);

// Whether the printer's serial number is the one the server lists, compared without regard to ASCII
// letter case and surrounding blanks; none when either is missing.
std::optional<bool> SerialMatches(const PrinterCheck& check);

struct CheckReport {
    std::string settings_file;
    Settings settings; // as read; the password is never shown
    std::vector<std::string> settings_problems;
    StepResult login = StepResult::NotTried;
    StepResult printer_list = StepResult::NotTried;
    StepResult logout = StepResult::NotTried;
    std::vector<std::string> messages; // what the server calls wrote
    int wait_seconds = 0;              // per query
    int parallel = 0;
    std::vector<PrinterCheck> printers;   // in list order
    std::chrono::milliseconds elapsed{0}; // the whole check
    bool interrupted = false;
    std::string failure; // why the check could not reach the printers, or the settings' problem

    // 0 every printer read, 1 some printers not read or a printer's serial number differs from the list's,
    // 2 the settings, the server or the login failed.
    int ExitStatus() const;
};

struct CheckOptions {
    std::string settings_path;
    int wait_seconds = 10; // per query, as the service waits
    HttpLimits http_limits;
    std::uint16_t agent_port = 161;
    // Asked before each printer and between queries: true ends the reading (the printers not read yet are
    // reported so) and the check logs out. Empty: never.
    std::function<bool()> interrupted;
};

// Reads the settings at `options.settings_path` and checks the installation with them.
CheckReport RunCheck(Clock& clock, const CheckOptions& options);

} // namespace telva
