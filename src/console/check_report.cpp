#include "console/check_report.h"

#include "text/ascii.h"
#include "text/json_writer.h"
#include "text/network_text.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <optional>

namespace telva {
namespace {

const char* StepWord(StepResult result) {
    switch (result) {
    case StepResult::Ok:
        return "ok";
    case StepResult::Failed:
        return "failed";
    case StepResult::NotTried:
        break;
    }
    return "not tried";
}

// How many characters `text` shows (UTF-8 continuation bytes do not count).
std::size_t Characters(std::string_view text) {
    return static_cast<std::size_t>(std::count_if(
        text.begin(), text.end(), [](char c) { return (static_cast<std::uint8_t>(c) & 0xC0) != 0x80; }));
}

// Text for one line of the console: the program's own two-line texts (a socket error's code and words)
// joined by a space, and whatever came from the network made safe by the one rule for such text.
std::string OneLine(std::string_view text) {
    std::string joined;
    joined.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
            joined.push_back(' ');
            ++i;
        } else {
            joined.push_back(text[i]);
        }
    }
    return NetworkText(joined);
}

// `text` made safe and fitted to one table cell: a text longer than the cell limit ends in "..." within it.
std::string Cell(std::string_view text) {
    const std::string safe = NetworkText(text);
    std::string cell;
    std::size_t characters = 0;
    for (std::size_t i = 0; i < safe.size(); ++i) {
        if ((static_cast<std::uint8_t>(safe[i]) & 0xC0) != 0x80) {
            if (characters == kTableCellLimit - 3 && Characters(std::string_view(safe).substr(i)) > 3) {
                return cell + "...";
            }
            ++characters;
        }
        cell.push_back(safe[i]);
    }
    return cell;
}

// An SNMP error status by its name: tooBig, noSuchName, badValue, readOnly, genErr, else "error N".
std::string ErrorStatusName(std::int32_t status) {
    static constexpr std::array<const char*, 5> kNames = {"tooBig", "noSuchName", "badValue", "readOnly",
                                                          "genErr"};
    if (status >= 1 && status <= static_cast<std::int32_t>(kNames.size())) {
        return kNames[static_cast<std::size_t>(status - 1)];
    }
    return "error " + std::to_string(status);
}

// `larger` - `smaller`, whole numbers of up to kHistoryMaxDigits digits with `larger` not the lower one.
std::string Difference(std::string_view larger, std::string_view smaller) {
    const auto significant = [](std::string_view number) {
        const auto first = number.find_first_not_of('0');
        return first == std::string_view::npos ? std::string_view() : number.substr(first);
    };
    std::string digits(significant(larger));
    smaller = significant(smaller);
    int borrow = 0;
    for (std::size_t i = 0; i < digits.size(); ++i) {
        char& digit = digits[digits.size() - 1 - i];
        int value = digit - '0' - borrow - (i < smaller.size() ? smaller[smaller.size() - 1 - i] - '0' : 0);
        borrow = value < 0 ? 1 : 0;
        digit = static_cast<char>('0' + value + 10 * borrow);
    }
    const std::string_view result = significant(digits);
    return result.empty() ? "0" : std::string(result);
}

// A value beside its last accepted reading: " (+55)" for what the counter grew since, " (was 120345) LOWER"
// for one that went back; nothing when there is nothing to compare.
std::string ComparisonNote(const PrinterCheck& check, std::size_t k) {
    const CounterComparison comparison = CompareCounter(check, k);
    if (!comparison.lower) {
        return {};
    }
    if (*comparison.lower) {
        return " (was " + std::string(comparison.kept) + ") LOWER";
    }
    return " (+" + Difference(check.reading.readings[k], comparison.kept) + ")";
}

std::string ReadingCell(const PrinterCheck& check, std::size_t k) {
    const PrinterReading& reading = check.reading;
    switch (reading.results[k]) {
    case QueryResult::Value:
        return Cell(reading.readings[k]) + ComparisonNote(check, k);
    case QueryResult::ErrorStatus:
        return ErrorStatusName(reading.error_status[k]);
    case QueryResult::NoAnswer:
    case QueryResult::Refused:
        return "-";
    case QueryResult::NotAsked:
        break;
    }
    return {};
}

// What a printer said of itself: the text, "-" when it was asked and gave none, nothing when not asked.
std::string IdentityCell(const IdentityAnswer& answer, std::string_view text) {
    if (answer.result == QueryResult::NotAsked) {
        return {};
    }
    return text.empty() ? "-" : Cell(text);
}

const char* QueryWord(QueryResult result) {
    switch (result) {
    case QueryResult::Value:
        return "value";
    case QueryResult::ErrorStatus:
        return "error";
    case QueryResult::NoAnswer:
        return "no answer";
    case QueryResult::Refused:
        return "refused";
    case QueryResult::NotAsked:
        break;
    }
    return "skipped";
}

// "2026-12-09", and with `minute` "2026-12-09T03:04".
std::string DateText(const platform::LocalDateTime& time, bool minute) {
    char text[32];
    if (minute) {
        std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d", time.year, time.month, time.day,
                      time.hour, time.minute);
    } else {
        std::snprintf(text, sizeof text, "%04d-%02d-%02d", time.year, time.month, time.day);
    }
    return text;
}

// "serial differs: server S1, printer S2" for a printer whose serial number is not the list's; else empty.
std::string SerialDifference(const PrinterCheck& check) {
    if (SerialMatches(check) != false) {
        return {};
    }
    return "serial differs: server " + NetworkText(TrimBlanks(check.printer.serial)) + ", printer " +
           NetworkText(PrinterSerial(check.reading));
}

struct Tally {
    std::size_t read = 0;
    std::size_t partial = 0;
    std::size_t no_answer = 0; // refused ones included, as the service's summary counts them
    std::size_t refused = 0;
    std::size_t error = 0;
    std::size_t not_read = 0;
    std::size_t serial_differs = 0;
    std::size_t lower_counters = 0;
};

Tally Count(const CheckReport& report) {
    Tally tally;
    for (const PrinterCheck& check : report.printers) {
        if (SerialMatches(check) == false) {
            ++tally.serial_differs;
        }
        if (HasLowerCounters(check)) {
            ++tally.lower_counters;
        }
        switch (VerdictOf(check.reading)) {
        case PrinterVerdict::Read:
            ++tally.read;
            break;
        case PrinterVerdict::Partial:
            ++tally.partial;
            break;
        case PrinterVerdict::NoAnswer:
            ++tally.no_answer;
            break;
        case PrinterVerdict::Refused:
            ++tally.no_answer;
            ++tally.refused;
            break;
        case PrinterVerdict::Error:
            ++tally.error;
            break;
        case PrinterVerdict::NotRead:
            ++tally.not_read;
            break;
        }
    }
    return tally;
}

void AddLine(std::string& out, std::string_view label, std::string_view value) {
    out.append(label);
    out.append(14 - std::min<std::size_t>(label.size(), 13), ' ');
    out.append(OneLine(value));
    out.push_back('\n');
}

// The table's rows, header first, as cells. Ids and addresses are whole: a row must name its printer.
std::vector<std::vector<std::string>> Rows(const CheckReport& report) {
    std::vector<std::vector<std::string>> rows;
    std::vector<std::string> header = {"#", "id", "address"};
    for (const CounterField& field : kCounterFields) {
        header.emplace_back(field.upload_key);
    }
    for (const char* title : {"accepted", "serial", "model", "outcome", "time"}) {
        header.emplace_back(title);
    }
    rows.push_back(std::move(header));
    for (std::size_t i = 0; i < report.printers.size(); ++i) {
        const PrinterCheck& check = report.printers[i];
        const PrinterReading& reading = check.reading;
        std::vector<std::string> row = {std::to_string(i), NetworkText(check.printer.id),
                                        NetworkText(check.printer.address)};
        for (std::size_t k = 0; k < kCounterCount; ++k) {
            row.push_back(ReadingCell(check, k));
        }
        row.push_back(check.kept ? DateText(check.kept->read, false) : "-");
        row.push_back(IdentityCell(reading.serial, PrinterSerial(reading)));
        row.push_back(IdentityCell(reading.description, PrinterModel(reading)));
        std::string outcome = reading.error.empty() ? PrinterOutcome(reading) : OneLine(reading.error);
        if (HasLowerCounters(check)) {
            outcome += ", lower counters";
        }
        if (const std::string difference = SerialDifference(check); !difference.empty()) {
            outcome += ", " + difference;
        }
        row.push_back(std::move(outcome));
        row.push_back(reading.finished ? SecondsText(reading.elapsed.count()) + "s" : "");
        rows.push_back(std::move(row));
    }
    return rows;
}

void AppendTable(std::string& out, const std::vector<std::vector<std::string>>& rows) {
    std::vector<std::size_t> widths(rows.front().size(), 0);
    for (const auto& row : rows) {
        for (std::size_t c = 0; c < row.size(); ++c) {
            widths[c] = std::max(widths[c], Characters(row[c]));
        }
    }
    for (const auto& row : rows) {
        std::string line;
        for (std::size_t c = 0; c < row.size(); ++c) {
            line += row[c];
            if (c + 1 < row.size()) {
                line.append(widths[c] - Characters(row[c]) + 2, ' ');
            }
        }
        while (!line.empty() && line.back() == ' ') {
            line.pop_back();
        }
        out += line;
        out.push_back('\n');
    }
}

std::string SummaryText(const CheckReport& report) {
    const Tally tally = Count(report);
    std::string text = std::to_string(report.printers.size()) + " printers: " + std::to_string(tally.read) +
                       " read, " + std::to_string(tally.partial) + " partial, " +
                       std::to_string(tally.no_answer) + " no answer";
    if (tally.refused > 0) {
        text += " (" + std::to_string(tally.refused) + " refused)";
    }
    text += ", " + std::to_string(tally.error) + " failed";
    if (tally.not_read > 0) {
        text += ", " + std::to_string(tally.not_read) + " not read (interrupted)";
    }
    if (tally.serial_differs > 0) {
        text += ", " + std::to_string(tally.serial_differs) + " serial differs";
    }
    if (tally.lower_counters > 0) {
        text += ", " + std::to_string(tally.lower_counters) + " with lower counters";
    }
    return text;
}

// The result line's words after "Result: ".
std::string ResultText(const CheckReport& report) {
    std::string text;
    switch (report.ExitStatus()) {
    case 0:
        text = "every printer read";
        break;
    case 1: {
        const Tally tally = Count(report);
        const auto add = [&text](const std::string& part) { text += (text.empty() ? "" : ", ") + part; };
        if (tally.read != report.printers.size()) {
            add("some printers not read");
        }
        if (tally.serial_differs > 0) {
            add(std::to_string(tally.serial_differs) + " serial differs");
        }
        if (tally.lower_counters > 0) {
            add(std::to_string(tally.lower_counters) + " with lower counters");
        }
        break;
    }
    default:
        text = "the check failed: " + (report.failure.empty() ? std::string("the settings need attention")
                                                              : OneLine(report.failure));
        break;
    }
    if (report.logout == StepResult::Failed) {
        text += "; the logout failed";
    }
    return text;
}

// Where the history was read from and what it gave, or why it was not usable.
std::string HistoryText(const HistoryCheck& history) {
    if (!history.problem.empty()) {
        return "not usable: " + history.file + ": " + history.problem + " (counters not compared)";
    }
    if (history.printers == 0) {
        return history.file + " (nothing kept for this contract yet)";
    }
    return history.file + " (" + std::to_string(history.printers) + " printers of this contract)";
}

// The server URL when the settings name a server; none otherwise (the derived URL would be made up).
std::optional<std::string> ServerUrl(const Settings& settings) {
    if (TrimBlanks(settings.server_address).empty()) {
        return std::nullopt;
    }
    return settings.base_url;
}

void AddMember(std::string& out, std::string_view name, std::string_view text, bool last = false) {
    AppendJsonString(out, name);
    out += ": ";
    AppendJsonString(out, text);
    out += last ? "" : ", ";
}

void AddNumber(std::string& out, std::string_view name, std::string_view number, bool last = false) {
    AppendJsonString(out, name);
    out += ": ";
    out += number;
    out += last ? "" : ", ";
}

// A member whose value is a text or null.
void AddOptional(std::string& out, std::string_view name, const std::optional<std::string>& text,
                 bool last = false) {
    if (text) {
        AddMember(out, name, *text, last);
    } else {
        AddNumber(out, name, "null", last);
    }
}

// true, false or null.
const char* JsonTruth(std::optional<bool> truth) {
    return truth ? (*truth ? "true" : "false") : "null";
}

// What the printer said of itself, made safe; none when it gave no text.
std::optional<std::string> IdentityText(std::string_view text) {
    return text.empty() ? std::nullopt : std::optional<std::string>(NetworkText(text));
}

} // namespace

std::string SecondsText(long long milliseconds) {
    const long long hundredths = (std::max(milliseconds, 0LL) + 5) / 10;
    const long long fraction = hundredths % 100;
    return std::to_string(hundredths / 100) + (fraction < 10 ? ".0" : ".") + std::to_string(fraction);
}

std::string CheckTable(const CheckReport& report) {
    std::string out;
    const Settings& settings = report.settings;
    AddLine(out, "Settings file", report.settings_file);
    AddLine(out, "Server URL", ServerUrl(settings).value_or("(none)"));
    AddLine(out, "Contract", settings.contract_number);
    AddLine(out, "Time of day", settings.schedule_time);
    AddLine(out, "User", settings.user_name);
    AddLine(out, "Parallel", std::to_string(settings.parallel));
    AddLine(out, "Proxy", ProxyInEffect(settings.proxy));
    for (const std::string& problem : report.settings_problems) {
        AddLine(out, "Problem", problem);
    }
    out.push_back('\n');
    AddLine(out, "History", HistoryText(report.history));
    AddLine(out, "Login", StepWord(report.login));
    if (report.login == StepResult::Ok) {
        AddLine(out, "Printer list",
                report.printer_list == StepResult::Ok ? std::to_string(report.printers.size()) + " printers"
                                                      : std::string(StepWord(report.printer_list)));
    }
    if (report.printer_list == StepResult::Ok) {
        AddLine(out, "Reading",
                std::to_string(report.parallel) + " printers at a time (the service: " +
                    std::to_string(settings.parallel) + "), " + std::to_string(report.wait_seconds) +
                    " s per query; a printer that leaves a query unanswered is asked no more");
        out.push_back('\n');
        AppendTable(out, Rows(report));
        out.push_back('\n');
    }
    if (report.logout != StepResult::NotTried) {
        AddLine(out, "Logout", StepWord(report.logout));
    }
    if (report.login == StepResult::Failed || report.printer_list == StepResult::Failed ||
        report.logout == StepResult::Failed) {
        for (const std::string& message : report.messages) {
            out += "  " + OneLine(message) + "\n";
        }
    }
    out.push_back('\n');
    if (report.printer_list == StepResult::Ok) {
        out += SummaryText(report) + "; nothing uploaded\n";
    }
    out += "Result: " + ResultText(report);
    out += " (" + SecondsText(report.elapsed.count()) + " s)\n";
    return out;
}

std::string CheckJson(const CheckReport& report, std::string_view version) {
    std::string out = "{\n  ";
    AddMember(out, "version", version, true);
    out += ",\n  \"settings\": {";
    AddMember(out, "file", report.settings_file);
    AddOptional(out, "server_url", ServerUrl(report.settings));
    AddMember(out, "contract", report.settings.contract_number);
    AddMember(out, "time_of_day", report.settings.schedule_time);
    AddMember(out, "user", report.settings.user_name);
    AddNumber(out, "parallel", std::to_string(report.settings.parallel));
    AddMember(out, "proxy", ProxyInEffect(report.settings.proxy));
    out += "\"problems\": [";
    for (std::size_t i = 0; i < report.settings_problems.size(); ++i) {
        out += i > 0 ? ", " : "";
        AppendJsonString(out, report.settings_problems[i]);
    }
    out += "]},\n  \"history\": {";
    AddMember(out, "file", report.history.file);
    AddNumber(out, "printers", std::to_string(report.history.printers));
    AddOptional(out, "problem",
                report.history.problem.empty() ? std::nullopt
                                               : std::optional<std::string>(report.history.problem),
                true);
    out += "},\n  \"steps\": {";
    AddMember(out, "login", StepWord(report.login));
    AddMember(out, "printer_list", StepWord(report.printer_list));
    AddMember(out, "logout", StepWord(report.logout), true);
    out += "},\n  \"messages\": [";
    for (std::size_t i = 0; i < report.messages.size(); ++i) {
        out += i > 0 ? ", " : "";
        AppendJsonString(out, NetworkText(report.messages[i]));
    }
    out += "],\n  ";
    AddNumber(out, "per_query_wait_seconds", std::to_string(report.wait_seconds));
    AddNumber(out, "parallel", std::to_string(report.parallel), true);
    out += ",\n  \"printers\": [";
    for (std::size_t i = 0; i < report.printers.size(); ++i) {
        const PrinterCheck& check = report.printers[i];
        const PrinterReading& reading = check.reading;
        out += i > 0 ? ",\n    {" : "\n    {";
        AddNumber(out, "position", std::to_string(i));
        AddMember(out, "id", NetworkText(check.printer.id));
        AddMember(out, "address", NetworkText(check.printer.address));
        AddMember(out, "outcome", PrinterOutcome(reading));
        AddOptional(out, "model", IdentityText(PrinterModel(reading)));
        AddOptional(out, "serial", IdentityText(PrinterSerial(reading)));
        const std::optional<bool> matches = SerialMatches(check);
        AddNumber(out, "serial_matches", JsonTruth(matches));
        AddOptional(out, "last_accepted_upload",
                    check.kept ? std::optional<std::string>(DateText(check.kept->read, true)) : std::nullopt);
        out += "\"error\": ";
        if (reading.error.empty()) {
            out += "null";
        } else {
            AppendJsonString(out, reading.error);
        }
        out += ", ";
        AddNumber(out, "seconds", SecondsText(reading.elapsed.count()));
        out += "\"counters\": [";
        for (std::size_t k = 0; k < kCounterCount; ++k) {
            out += k > 0 ? ",\n      {" : "\n      {";
            AddMember(out, "key", kCounterFields[k].upload_key);
            AddMember(out, "oid", NetworkText(check.printer.counter_oids[k]));
            AddMember(out, "status", QueryWord(reading.results[k]));
            AddOptional(out, "value",
                        reading.results[k] == QueryResult::Value
                            ? std::optional<std::string>(NetworkText(reading.readings[k]))
                            : std::nullopt);
            AddNumber(out, "error_status", std::to_string(reading.error_status[k]));
            AddOptional(out, "error_name",
                        reading.results[k] == QueryResult::ErrorStatus
                            ? std::optional<std::string>(ErrorStatusName(reading.error_status[k]))
                            : std::nullopt);
            const CounterComparison comparison = CompareCounter(check, k);
            AddOptional(out, "last_accepted",
                        comparison.kept.empty() ? std::nullopt : std::optional<std::string>(comparison.kept));
            AddNumber(out, "lower", JsonTruth(comparison.lower), true);
            out += "}";
        }
        out += "]}";
    }
    out += report.printers.empty() ? "],\n  " : "\n  ],\n  ";
    const Tally tally = Count(report);
    out += "\"summary\": {";
    AddNumber(out, "printers", std::to_string(report.printers.size()));
    AddNumber(out, "read", std::to_string(tally.read));
    AddNumber(out, "partial", std::to_string(tally.partial));
    AddNumber(out, "no_answer", std::to_string(tally.no_answer));
    AddNumber(out, "refused", std::to_string(tally.refused));
    AddNumber(out, "error", std::to_string(tally.error));
    AddNumber(out, "not_read", std::to_string(tally.not_read));
    AddNumber(out, "serial_differs", std::to_string(tally.serial_differs));
    AddNumber(out, "lower_counters", std::to_string(tally.lower_counters));
    AddNumber(out, "seconds", SecondsText(report.elapsed.count()), true);
    out += "},\n  ";
    AddNumber(out, "status", std::to_string(report.ExitStatus()), true);
    out += ",\n  \"failure\": ";
    if (report.ExitStatus() == 2) {
        AppendJsonString(out, report.failure.empty() ? "the settings need attention"
                                                     : NetworkText(report.failure));
    } else {
        out += "null";
    }
    out += "\n}\n";
    return out;
}

} // namespace telva
