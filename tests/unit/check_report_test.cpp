// The check's two report forms: what a reading cell shows, who answers, what a console line may not carry,
// and a JSON document that stays valid whatever bytes a printer or server sent.

#include "console/check_report.h"
#include "server/json.h"
#include "text/json_writer.h"

#include <gtest/gtest.h>

namespace telva {
namespace {

std::string Quoted(std::string_view text) {
    std::string out;
    AppendJsonString(out, text);
    return out;
}

TEST(JsonWriter, EscapesAndInvalidBytes) {
    EXPECT_EQ(Quoted("a\"b\\c"), "\"a\\\"b\\\\c\"");
    EXPECT_EQ(Quoted(std::string("\n\r\t\x01\x7f", 5)), "\"\\n\\r\\t\\u0001\\u007f\"");
    EXPECT_EQ(Quoted("Pr\xc3\xa9-\xe2\x82\xac-\xf0\x9f\x96\xa8"),
              "\"Pr\xc3\xa9-\xe2\x82\xac-\xf0\x9f\x96\xa8\"");
    // A stray continuation byte, a Latin-1 byte, a cut character, an overlong form and a surrogate.
    EXPECT_EQ(Quoted("\x80|\xe9|\xe2\x82|\xc0\xaf|\xed\xa0\x80"),
              "\"\\ufffd|\\ufffd|\\ufffd\\ufffd|\\ufffd\\ufffd|\\ufffd\\ufffd\\ufffd\"");
}

CheckReport SampleReport() {
    CheckReport report;
    report.settings_file = "/opt/t/config.ini";
    report.settings.server_address = "127.0.0.1:1";
    report.settings.base_url = "http://127.0.0.1:1/app/index.php/";
    report.settings.contract_number = "77";
    report.settings.schedule_time = "03:00";
    report.settings.user_name = "vrel";
    report.settings.password = "secret-pass";
    report.settings.parallel = 16;
    report.login = report.printer_list = report.logout = StepResult::Ok;
    report.wait_seconds = 10;
    report.parallel = 32;
    PrinterCheck first;
    first.printer.id = "101";
    first.printer.address = "127.0.0.2";
    first.printer.serial = "Y9";
    first.reading.finished = true;
    first.reading.answered = 3;
    first.reading.results = {QueryResult::Value, QueryResult::ErrorStatus, QueryResult::ErrorStatus,
                             QueryResult::NoAnswer};
    first.reading.error_status[1] = 2;
    first.reading.error_status[2] = 7;
    first.reading.readings[0] = std::string("line\x1b[2Jfeed\xff") + std::string(40, '9');
    first.reading.serial = {QueryResult::Value, " x9\x01 ", 0};
    first.reading.elapsed = std::chrono::milliseconds(10'004);
    report.printers.push_back(first);
    PrinterCheck second;
    second.printer.id = "\"102\"";
    second.printer.address = "printer..invalid";
    second.reading.finished = true;
    second.reading.error = "Socket Error # 11001\r\nHost not found.";
    report.printers.push_back(second);
    PrinterCheck third;
    third.printer.id = std::string(5000, 'i');
    third.printer.address = "127.0.0.3";
    third.reading.finished = true;
    third.reading.results[0] = QueryResult::Refused;
    report.printers.push_back(third);
    return report;
}

TEST(CheckReportForms, TableCellsAndClosingLines) {
    const std::string table = CheckTable(SampleReport());
    EXPECT_EQ(table.find('\x1b'), std::string::npos) << "control characters never reach the console";
    EXPECT_NE(table.find("line [2Jfeed\xff"), std::string::npos);
    EXPECT_NE(table.find("99999..."), std::string::npos) << "long values are cut to the cell";
    EXPECT_NE(table.find("noSuchName  error 7  -"), std::string::npos);
    EXPECT_NE(table.find("  x9  "), std::string::npos) << table;
    EXPECT_NE(table.find("partial, serial differs: server Y9, printer x9"), std::string::npos) << table;
    EXPECT_NE(table.find("10.00s"), std::string::npos);
    EXPECT_NE(table.find("Socket Error # 11001 Host not found."), std::string::npos)
        << "whole and on one line";
    EXPECT_NE(table.find(std::string(1000, 'i') + " ... (4000 more bytes)  127.0.0.3"), std::string::npos)
        << "an id is whole up to the bound of any network text";
    EXPECT_NE(table.find("refused"), std::string::npos);
    EXPECT_NE(table.find("Server URL    http://127.0.0.1:1/app/index.php/\n"), std::string::npos);
    EXPECT_NE(table.find("Parallel      16\n"), std::string::npos);
    EXPECT_NE(table.find("Reading       32 printers at a time (the service: 16)"), std::string::npos);
    EXPECT_NE(
        table.find("3 printers: 0 read, 1 partial, 1 no answer (1 refused), 1 failed, 1 serial differs; "
                   "nothing uploaded\nResult: some printers not read, 1 serial differs ("),
        std::string::npos)
        << table;
    EXPECT_EQ(table.find("secret-pass"), std::string::npos);
}

TEST(CheckReportForms, JsonIsOneValidDocumentWithoutThePassword) {
    const std::string json = CheckJson(SampleReport(), "telva4-audit 0.1.0");
    EXPECT_EQ(json.find("secret-pass"), std::string::npos);
    const std::optional<JsonDocument> document = ParseJsonObject(json);
    ASSERT_TRUE(document) << json;
    const JsonValue& root = document->root();
    EXPECT_EQ(ValueText(*FindMember(root, "status")), "1");
    EXPECT_EQ(ValueText(*FindMember(*FindMember(root, "settings"), "parallel")), "16");
    const JsonValue& summary = *FindMember(root, "summary");
    EXPECT_EQ(ValueText(*FindMember(summary, "no_answer")), "1");
    EXPECT_EQ(ValueText(*FindMember(summary, "refused")), "1");
    EXPECT_EQ(ValueText(*FindMember(summary, "serial_differs")), "1");
    const auto printers = FindMember(root, "printers")->items();
    ASSERT_EQ(printers.size(), 3u);
    const JsonValue& first = printers[0];
    EXPECT_EQ(ValueText(*FindMember(first, "outcome")), "partial");
    EXPECT_EQ(ValueText(*FindMember(first, "serial")), "x9");
    EXPECT_EQ(FindMember(first, "serial_matches")->kind(), JsonKind::kFalse);
    EXPECT_TRUE(FindMember(first, "model")->IsNull());
    const auto counters = FindMember(first, "counters")->items();
    ASSERT_EQ(counters.size(), 6u);
    EXPECT_EQ(ValueText(*FindMember(counters[0], "value")),
              "line [2Jfeed\xef\xbf\xbd" + std::string(40, '9'));
    EXPECT_EQ(ValueText(*FindMember(counters[1], "status")), "error");
    EXPECT_EQ(ValueText(*FindMember(counters[1], "error_status")), "2");
    EXPECT_EQ(ValueText(*FindMember(counters[1], "error_name")), "noSuchName");
    EXPECT_TRUE(FindMember(counters[1], "value")->IsNull());
    EXPECT_EQ(ValueText(*FindMember(counters[3], "status")), "no answer");
    EXPECT_EQ(ValueText(*FindMember(counters[4], "status")), "skipped");
    EXPECT_EQ(ValueText(*FindMember(printers[1], "id")), "\"102\"");
    EXPECT_EQ(ValueText(*FindMember(printers[1], "error")), "Socket Error # 11001\r\nHost not found.");
    EXPECT_EQ(ValueText(*FindMember(printers[2], "outcome")), "refused");
    EXPECT_EQ(ValueText(*FindMember(FindMember(printers[2], "counters")->items()[0], "status")), "refused");
}

// The first printer beside its last accepted readings (one gone back, one without a reading now), the second
// with nothing kept.
TEST(CheckReportForms, ReadingsBesideTheLastAcceptedOnes) {
    CheckReport report = SampleReport();
    report.history = {"/var/lib/t/reading_history.txt", "", 3};
    report.printers.resize(2);
    for (PrinterCheck& check : report.printers) {
        check.reading = PrinterReading();
        check.reading.finished = true;
        check.reading.answered = kCounterCount;
        check.reading.results.fill(QueryResult::Value);
        check.printer.serial.clear();
    }
    report.printers[0].reading.readings = {"120400", "2210", "0", "007", "10000000000000000000", ""};
    report.printers[0].reading.results[5] = QueryResult::ErrorStatus;
    report.printers[0].reading.error_status[5] = 2;
    report.printers[0].kept = PrinterHistory{
        {}, {2026, 12, 9, 3, 4, 0, 0}, {"120345", "120345", "0", "5", "9999999999999999999", "77"}};
    report.printers[1].reading.readings = {"1", "2", "3", "4", "5", "6"};
    EXPECT_EQ(report.ExitStatus(), 1) << "a counter that went back is another device at the address";
    const std::string table = CheckTable(report);
    EXPECT_NE(table.find("History       /var/lib/t/reading_history.txt (3 printers of this contract)\n"),
              std::string::npos);
    EXPECT_NE(
        table.find("120400 (+55)  2210 (was 120345) LOWER  0 (+0)  007 (+2)  10000000000000000000 (+1)  "
                   "noSuchName  2026-12-09"),
        std::string::npos)
        << table;
    const std::size_t second = table.find("\n1  \"102\"");
    EXPECT_EQ(table.substr(second, table.find('\n', second + 1) - second).find('('), std::string::npos)
        << "nothing kept: the values alone";
    EXPECT_NE(table.find("read, lower counters"), std::string::npos);
    EXPECT_NE(table.find(", 1 with lower counters; nothing uploaded\nResult: 1 with lower counters ("),
              std::string::npos);

    const std::optional<JsonDocument> document = ParseJsonObject(CheckJson(report, "v"));
    ASSERT_TRUE(document);
    EXPECT_EQ(ValueText(*FindMember(*FindMember(document->root(), "summary"), "lower_counters")), "1");
    const auto printers = FindMember(document->root(), "printers")->items();
    EXPECT_EQ(ValueText(*FindMember(printers[0], "last_accepted_upload")), "2026-12-09T03:04");
    EXPECT_TRUE(FindMember(printers[1], "last_accepted_upload")->IsNull());
    const auto counters = FindMember(printers[0], "counters")->items();
    EXPECT_EQ(ValueText(*FindMember(counters[0], "last_accepted")), "120345");
    EXPECT_EQ(FindMember(counters[0], "lower")->kind(), JsonKind::kFalse);
    EXPECT_EQ(FindMember(counters[1], "lower")->kind(), JsonKind::kTrue);
    EXPECT_EQ(ValueText(*FindMember(counters[5], "last_accepted")), "77");
    EXPECT_TRUE(FindMember(counters[5], "lower")->IsNull()) << "no reading to compare";

    // A history that cannot be read costs the comparisons, never the check.
    report.history = {"/var/lib/t/reading_history.txt", "Permission denied", 0};
    report.printers[0].kept.reset();
    EXPECT_EQ(report.ExitStatus(), 0);
    EXPECT_NE(CheckTable(report).find("History       not usable: /var/lib/t/reading_history.txt: Permission "
                                      "denied (counters not compared)\n"),
              std::string::npos);
    EXPECT_NE(CheckJson(report, "v").find(R"("problem": "Permission denied"})"), std::string::npos);
}

TEST(CheckReportForms, SecondsRoundToHundredths) {
    EXPECT_EQ(SecondsText(0), "0.00");
    EXPECT_EQ(SecondsText(1234), "1.23");
    EXPECT_EQ(SecondsText(1235), "1.24");
    EXPECT_EQ(SecondsText(59'999), "60.00");
    EXPECT_EQ(SecondsText(-5), "0.00");
}

} // namespace
} // namespace telva
