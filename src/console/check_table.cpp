// The check's report as a table for a person at the console.

#include "console/check_report.h"
#include "console/check_words.h"
#include "text/ascii.h"
#include "text/network_text.h"

#include <algorithm>
#include <cstdint>
#include <optional>

namespace telva {
namespace {

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

// "serial differs: server S1, printer S2" for a printer whose serial number is not the list's; else empty.
std::string SerialDifference(const PrinterCheck& check) {
    if (SerialMatches(check) != false) {
        return {};
    }
    return "serial differs: server " + NetworkText(TrimBlanks(check.printer.serial)) + ", printer " +
           NetworkText(PrinterSerial(check.reading));
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

} // namespace

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

} // namespace telva
