#include "console/check.h"

#include "server/api_endpoints.h"
#include "site/collected_lines.h"
#include "site/settings.h"
#include "text/ascii.h"

#include <algorithm>
#include <chrono>

namespace telva {
namespace {

// A serial number without the blanks and control characters around it (printers pad theirs with spaces or
// NUL bytes).
std::string_view TrimSerial(std::string_view serial) {
    const auto blank = [](char c) { return static_cast<unsigned char>(c) <= 0x20 || c == 0x7F; };
    while (!serial.empty() && blank(serial.front())) {
        serial.remove_prefix(1);
    }
    while (!serial.empty() && blank(serial.back())) {
        serial.remove_suffix(1);
    }
    return serial;
}

// How many printers `history` holds for `contract`.
std::size_t PrintersOf(const ReadingHistory& history, const std::string& contract) {
    return static_cast<std::size_t>(
        std::count_if(history.entries().begin(), history.entries().end(),
                      [&](const auto& entry) { return entry.first.contract == contract; }));
}

void Append(std::vector<std::string>& to, std::vector<std::string> lines) {
    to.insert(to.end(), std::make_move_iterator(lines.begin()), std::make_move_iterator(lines.end()));
}

} // namespace

PrinterVerdict VerdictOf(const PrinterReading& reading) {
    if (!reading.finished) {
        return PrinterVerdict::NotRead;
    }
    if (!reading.error.empty()) {
        return PrinterVerdict::Error;
    }
    if (reading.answered == kCounterCount) {
        return PrinterVerdict::Read;
    }
    if (reading.answered > 0) {
        return PrinterVerdict::Partial;
    }
    return reading.results[0] == QueryResult::Refused ? PrinterVerdict::Refused : PrinterVerdict::NoAnswer;
}

const char* PrinterOutcome(const PrinterReading& reading) {
    switch (VerdictOf(reading)) {
    case PrinterVerdict::Read:
        return "read";
    case PrinterVerdict::Partial:
        return "partial";
    case PrinterVerdict::NoAnswer:
        return "no answer";
    case PrinterVerdict::Refused:
        return "refused";
    case PrinterVerdict::Error:
        return "error";
    case PrinterVerdict::NotRead:
        break;
    }
    return "not read";
}

std::string_view PrinterSerial(const PrinterReading& reading) {
    return reading.serial.result == QueryResult::Value ? TrimSerial(reading.serial.text) : std::string_view();
}

std::string_view PrinterModel(const PrinterReading& reading) {
    return reading.description.result == QueryResult::Value ? std::string_view(reading.description.text)
                                                            : std::string_view();
}

std::optional<bool> SerialMatches(const PrinterCheck& check) {
    const std::string_view listed = TrimSerial(check.printer.serial);
    const std::string_view answered = PrinterSerial(check.reading);
    if (listed.empty() || answered.empty()) {
        return std::nullopt;
    }
    return EqualsIgnoringAsciiCase(listed, answered);
}

CounterComparison CompareCounter(const PrinterCheck& check, std::size_t counter) {
    CounterComparison comparison;
    if (!check.kept) {
        return comparison;
    }
    comparison.kept = check.kept->readings[counter];
    const std::string& read = check.reading.readings[counter];
    if (check.reading.results[counter] == QueryResult::Value && IsWholeNumber(comparison.kept) &&
        IsWholeNumber(read)) {
        comparison.lower = WholeNumberLess(read, comparison.kept);
    }
    return comparison;
}

bool HasLowerCounters(const PrinterCheck& check) {
    for (std::size_t k = 0; k < kCounterCount; ++k) {
        if (CompareCounter(check, k).lower == true) {
            return true;
        }
    }
    return false;
}

int CheckReport::ExitStatus() const {
    if (!failure.empty() || !settings_problems.empty() || login != StepResult::Ok ||
        printer_list != StepResult::Ok) {
        return 2;
    }
    const bool all_read = std::all_of(printers.begin(), printers.end(), [](const PrinterCheck& check) {
        return VerdictOf(check.reading) == PrinterVerdict::Read && SerialMatches(check) != false &&
               !HasLowerCounters(check);
    });
    return all_read ? 0 : 1;
}

CheckReport RunCheck(Clock& clock, const CheckOptions& options) {
    const auto started = std::chrono::steady_clock::now();
    CollectedLines lines;
    RunContext context(clock, lines);
    context.http_limits = options.http_limits;
    context.snmp.agent_port = options.agent_port;
    context.snmp.receive_timeout_ms = options.wait_seconds * 1000;
    if (options.interrupted) {
        context.stop_requested = [&options] {
            return options.interrupted() ? StopRequest::Stop : StopRequest::None;
        };
    }

    CheckReport report;
    report.settings_file = options.settings_path;
    report.wait_seconds = options.wait_seconds;
    context.settings = ReadSettings(options.settings_path);
    report.settings = context.settings;
    report.parallel = std::max(context.settings.parallel, kCheckParallel);
    SettingsReview review = ReviewSettings(options.settings_path, context.settings, clock.TimeSeparator());
    report.settings_problems = std::move(review.problems);
    // Missing is the normal state before the first accepted upload; unreadable (the check run by a user
    // who may not read the service's state directory) or damaged only means nothing to compare with.
    const HistoryRead history = LoadReadingHistory(options.history_path);
    const std::string& contract = context.settings.contract_number;
    report.history = {options.history_path, history.problem, PrintersOf(history.history, contract)};
    const auto finish = [&]() -> CheckReport& {
        report.elapsed =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started);
        return report;
    };
    // Without a server or a contract there is nothing to log in to; a bad time of day spoils only the
    // schedule, so the check goes on to show the rest.
    if (!review.usable) {
        report.failure = "the settings do not say which server and contract to check";
        return finish();
    }

    const ApiAnswer login = LogIn(context);
    report.login = login.succeeded() ? StepResult::Ok : StepResult::Failed;
    Append(report.messages, lines.Take());
    if (!login.succeeded()) {
        report.failure = FailureReason(login, "the login");
        return finish();
    }
    PrinterList list;
    {
        const ApiAnswer fetched = FetchItemData(context, context.settings.contract_number);
        if (!fetched.data) {
            report.failure = fetched.outcome == ApiOutcome::Refused
                                 ? "the server refused the printer list: " + fetched.refusal
                                 : "the printer list was not received: " + fetched.failure;
        } else {
            list = ReadPrinterList(fetched.data->root());
            if (!list.problem.empty()) {
                report.failure = "the printer list is not usable: " + list.problem;
            }
        }
    }
    Append(report.messages, lines.Take());
    report.printer_list = report.failure.empty() ? StepResult::Ok : StepResult::Failed;

    if (report.printer_list == StepResult::Ok) {
        report.printers.resize(list.printers.size());
        ReadOptions read_options;
        read_options.parallel = report.parallel;
        read_options.stop_at_first_silence = true;
        read_options.hold_trap_port = false; // the service's business, and a privileged port
        read_options.identify = true;
        const ReadOutcome outcome =
            ReadPrinters(context, list.printers, read_options, [&](std::size_t i, PrinterReading& reading) {
                report.printers[i].reading = std::move(reading);
            });
        for (std::size_t i = 0; i < list.printers.size(); ++i) {
            PrinterCheck& check = report.printers[i];
            check.printer = std::move(list.printers[i]);
            if (const PrinterHistory* kept = history.history.Find(contract, check.printer.id)) {
                check.kept = *kept;
            }
        }
        report.interrupted = outcome.stop != StopRequest::None;
        lines.Take(); // the printers' lines: the table says the same
    }

    report.logout = LogOut(context).succeeded() ? StepResult::Ok : StepResult::Failed;
    Append(report.messages, lines.Take());
    return finish();
}

} // namespace telva
