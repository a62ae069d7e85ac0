// The check's report as one JSON document for a program.

#include "console/check_report.h"
#include "console/check_words.h"
#include "text/json_writer.h"
#include "text/network_text.h"

#include <optional>

namespace telva {
namespace {

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
