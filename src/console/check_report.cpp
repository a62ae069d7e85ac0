#include "console/check_report.h"

#include "text/json_writer.h"

#include <algorithm>
#include <array>
#include <cstdint>

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

// `text` with its control characters made '?' (a line break, CR LF or LF, a blank), so that what a server
// or printer sent cannot move the console's cursor or split a line.
std::string Printable(std::string_view text) {
    std::string printable;
    printable.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<std::uint8_t>(text[i]);
        if (byte == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
            continue;
        }
        if (byte == '\n') {
            printable.push_back(' ');
        } else {
            printable.push_back(byte < 0x20 || byte == 0x7F ? '?' : text[i]);
        }
    }
    return printable;
}

// `text` made safe for one table cell: printable, and a text longer than the cell limit ends in "..."
// within it.
std::string Cell(std::string_view text) {
    const std::string printable = Printable(text);
    std::string cell;
    std::size_t characters = 0;
    for (std::size_t i = 0; i < printable.size(); ++i) {
        if ((static_cast<std::uint8_t>(printable[i]) & 0xC0) != 0x80) {
            if (characters == kTableCellLimit - 3 && Characters(std::string_view(printable).substr(i)) > 3) {
                return cell + "...";
            }
            ++characters;
        }
        cell.push_back(printable[i]);
    }
    return cell;
}

std::string ReadingCell(const PrinterReading& reading, std::size_t k) {
    switch (reading.results[k]) {
    case QueryResult::Value:
        return Cell(reading.readings[k]);
    case QueryResult::ErrorStatus:
        return "err:" + std::to_string(reading.error_status[k]);
    case QueryResult::NoAnswer:
        return "-";
    case QueryResult::NotAsked:
        break;
    }
    return {};
}

const char* QueryWord(QueryResult result) {
    switch (result) {
    case QueryResult::Value:
        return "value";
    case QueryResult::ErrorStatus:
        return "error";
    case QueryResult::NoAnswer:
        return "no answer";
    case QueryResult::NotAsked:
        break;
    }
    return "skipped";
}

struct Tally {
    std::size_t read = 0;
    std::size_t partial = 0;
    std::size_t no_answer = 0;
    std::size_t error = 0;
    std::size_t not_read = 0;
};

Tally Count(const CheckReport& report) {
    Tally tally;
    for (const PrinterCheck& check : report.printers) {
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
    out.append(Printable(value));
    out.push_back('\n');
}

// The table's rows, header first, as cells.
std::vector<std::vector<std::string>> Rows(const CheckReport& report) {
    std::vector<std::vector<std::string>> rows;
    std::vector<std::string> header = {"#", "id", "address"};
    for (const CounterField& field : kCounterFields) {
        header.emplace_back(field.upload_key);
    }
    header.emplace_back("outcome");
    header.emplace_back("time");
    rows.push_back(std::move(header));
    for (std::size_t i = 0; i < report.printers.size(); ++i) {
        const PrinterCheck& check = report.printers[i];
        std::vector<std::string> row = {std::to_string(i), Cell(check.printer.id),
                                        Cell(check.printer.address)};
        for (std::size_t k = 0; k < kCounterCount; ++k) {
            row.push_back(ReadingCell(check.reading, k));
        }
        row.emplace_back(check.reading.error.empty() ? PrinterOutcome(check.reading)
                                                     : Printable(check.reading.error));
        row.push_back(check.reading.finished ? SecondsText(check.reading.elapsed.count()) + "s" : "");
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
                       std::to_string(tally.no_answer) + " no answer, " + std::to_string(tally.error) +
                       " failed";
    if (tally.not_read > 0) {
        text += ", " + std::to_string(tally.not_read) + " not read (interrupted)";
    }
    return text;
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
    AddLine(out, "Server URL", settings.base_url);
    AddLine(out, "Contract", settings.contract_number);
    AddLine(out, "Time of day", settings.schedule_time);
    AddLine(out, "User", settings.user_name);
    AddLine(out, "Proxy", ProxyInEffect(settings.proxy));
    for (const std::string& problem : report.settings_problems) {
        AddLine(out, "Problem", problem);
    }
    out.push_back('\n');
    AddLine(out, "Login", StepWord(report.login));
    if (report.login == StepResult::Ok) {
        AddLine(out, "Printer list",
                report.printer_list == StepResult::Ok ? std::to_string(report.printers.size()) + " printers"
                                                      : std::string(StepWord(report.printer_list)));
    }
    if (report.printer_list == StepResult::Ok) {
        AddLine(out, "Reading",
                std::to_string(report.parallel) + " at a time, " + std::to_string(report.wait_seconds) +
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
            out += "  " + Printable(message) + "\n";
        }
    }
    out.push_back('\n');
    if (report.printer_list == StepResult::Ok) {
        out += SummaryText(report) + "; nothing uploaded\n";
    }
    switch (report.ExitStatus()) {
    case 0:
        out += "Result: every printer read";
        break;
    case 1:
        out += "Result: some printers not read";
        break;
    default:
        out +=
            "Result: the check failed: " +
            (report.failure.empty() ? std::string("the settings need attention") : Printable(report.failure));
        break;
    }
    out += " (" + SecondsText(report.elapsed.count()) + " s)\n";
    return out;
}

std::string CheckJson(const CheckReport& report, std::string_view version) {
    std::string out = "{\n  ";
    AddMember(out, "version", version, true);
    out += ",\n  \"settings\": {";
    AddMember(out, "file", report.settings_file);
    AddMember(out, "server_url", report.settings.base_url);
    AddMember(out, "contract", report.settings.contract_number);
    AddMember(out, "time_of_day", report.settings.schedule_time);
    AddMember(out, "user", report.settings.user_name);
    AddMember(out, "proxy", ProxyInEffect(report.settings.proxy));
    out += "\"problems\": [";
    for (std::size_t i = 0; i < report.settings_problems.size(); ++i) {
        out += i > 0 ? ", " : "";
        AppendJsonString(out, report.settings_problems[i]);
    }
    out += "]},\n  \"steps\": {";
    AddMember(out, "login", StepWord(report.login));
    AddMember(out, "printer_list", StepWord(report.printer_list));
    AddMember(out, "logout", StepWord(report.logout), true);
    out += "},\n  \"messages\": [";
    for (std::size_t i = 0; i < report.messages.size(); ++i) {
        out += i > 0 ? ", " : "";
        AppendJsonString(out, report.messages[i]);
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
        AddMember(out, "id", check.printer.id);
        AddMember(out, "address", check.printer.address);
        AddMember(out, "outcome", PrinterOutcome(reading));
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
            AddMember(out, "oid", check.printer.counter_oids[k]);
            AddMember(out, "status", QueryWord(reading.results[k]));
            out += "\"value\": ";
            if (reading.results[k] == QueryResult::Value) {
                AppendJsonString(out, reading.readings[k]);
            } else {
                out += "null";
            }
            out += ", ";
            AddNumber(out, "error_status", std::to_string(reading.error_status[k]), true);
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
    AddNumber(out, "error", std::to_string(tally.error));
    AddNumber(out, "not_read", std::to_string(tally.not_read));
    AddNumber(out, "seconds", SecondsText(report.elapsed.count()), true);
    out += "},\n  ";
    AddNumber(out, "status", std::to_string(report.ExitStatus()), true);
    out += ",\n  \"failure\": ";
    if (report.ExitStatus() == 2) {
        AppendJsonString(out, report.failure.empty() ? "the settings need attention" : report.failure);
    } else {
        out += "null";
    }
    out += "\n}\n";
    return out;
}

} // namespace telva
