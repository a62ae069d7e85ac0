#pragma once
// The technician's check of an installation: the settings in effect, a login, the printer list, every
// printer's six counters read at the same time as many others (and, of a printer that answered, its serial
// number and description, to show who answers at each address), a logout; nothing is uploaded and nothing
// is written to the daily log (the run context's log only collects the server calls' lines for the report).
// Each reading is set beside the last one the server accepted, from the reading history the service keeps;
// the check only reads that history, and goes on without it when it is missing or cannot be read.

#include "printer.h"
#include "printer_reader.h"
#include "run_context.h"
#include "site/reading_history.h"
#include "site/reading_history_file.h"

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
    // What the reading history holds for the printer's id under the settings' contract; none when nothing.
    std::optional<PrinterHistory> kept;
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

// One counter of a printer beside the history: the last accepted reading (empty when none is kept), and
// whether this reading is lower than it (none unless both are whole numbers).
struct CounterComparison {
    std::string_view kept;
    std::optional<bool> lower;
};
CounterComparison CompareCounter(const PrinterCheck& check, std::size_t counter);

// Whether a counter the printer gave is lower than its last accepted reading (the service's rule: another
// device answers at the address).
bool HasLowerCounters(const PrinterCheck& check);

// What the check found of the reading history.
struct HistoryCheck {
    std::string file;
    std::string problem;      // why it was not usable (it then counts as empty); empty otherwise
    std::size_t printers = 0; // how many printers it holds for the settings' contract
};

struct CheckReport {
    std::string settings_file;
    Settings settings; // as read; the password is never shown
    std::vector<std::string> settings_problems;
    HistoryCheck history;
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

    // 0 every printer read, 1 some printers not read, a printer's serial number differs from the list's or
    // a counter is lower than its last accepted reading, 2 the settings, the server or the login failed.
    int ExitStatus() const;
};

struct CheckOptions {
    std::string settings_path;
    std::string history_path = ReadingHistoryPath(); // only read
    int wait_seconds = 10;                           // per query, as the service waits
    HttpLimits http_limits;
    std::uint16_t agent_port = 161;
    // Asked before each printer and between queries: true ends the reading (the printers not read yet are
    // reported so) and the check logs out. Empty: never.
    std::function<bool()> interrupted;
};

// Reads the settings at `options.settings_path` and checks the installation with them.
CheckReport RunCheck(Clock& clock, const CheckOptions& options);

} // namespace telva
