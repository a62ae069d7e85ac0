// The check's two report forms: what a reading cell shows, what a console line may not carry, and a JSON
// document that stays valid whatever bytes a printer or server sent.

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
    report.settings.base_url = "http://127.0.0.1:1/app/index.php/";
    report.settings.contract_number = "77";
    report.settings.schedule_time = "03:00";
    report.settings.user_name = "vrel";
    report.settings.password = "secret-pass";
    report.login = report.printer_list = report.logout = StepResult::Ok;
    report.wait_seconds = 10;
    report.parallel = 32;
    PrinterCheck first;
    first.printer.id = "101";
    first.printer.address = "127.0.0.2";
    first.reading.finished = true;
    first.reading.answered = 2;
    first.reading.results = {QueryResult::Value, QueryResult::ErrorStatus, QueryResult::NoAnswer};
    first.reading.error_status[1] = 2;
    first.reading.readings[0] = std::string("line\x1b[2Jfeed\xff") + std::string(40, '9');
    first.reading.elapsed = std::chrono::milliseconds(10'004);
    report.printers.push_back(first);
    PrinterCheck second;
    second.printer.id = "\"102\"";
    second.printer.address = "printer..invalid";
    second.reading.finished = true;
    second.reading.error = "Socket Error # 11001\r\nHost not found.";
    report.printers.push_back(second);
    return report;
}

TEST(CheckReportForms, TableCellsAndClosingLines) {
    const std::string table = CheckTable(SampleReport());
    EXPECT_EQ(table.find('\x1b'), std::string::npos) << "control characters never reach the console";
    EXPECT_NE(table.find("line?[2Jfeed\xff"), std::string::npos);
    EXPECT_NE(table.find("99999..."), std::string::npos) << "long values are cut to the cell";
    EXPECT_NE(table.find("err:2  -"), std::string::npos);
    EXPECT_NE(table.find("partial"), std::string::npos);
    EXPECT_NE(table.find("10.00s"), std::string::npos);
    EXPECT_NE(table.find("Socket Error # 11001 Host not found."), std::string::npos)
        << "whole and on one line";
    EXPECT_NE(table.find("2 printers: 0 read, 1 partial, 0 no answer, 1 failed; nothing uploaded"),
              std::string::npos);
    EXPECT_NE(table.find("Result: some printers not read"), std::string::npos);
    EXPECT_EQ(table.find("secret-pass"), std::string::npos);
}

TEST(CheckReportForms, JsonIsOneValidDocumentWithoutThePassword) {
    const std::string json = CheckJson(SampleReport(), "telva4-audit 0.1.0");
    EXPECT_EQ(json.find("secret-pass"), std::string::npos);
    const std::optional<JsonDocument> document = ParseJsonObject(json);
    ASSERT_TRUE(document) << json;
    const JsonValue& root = document->root();
    EXPECT_EQ(ValueText(*FindMember(root, "status")), "1");
    const auto printers = FindMember(root, "printers")->items();
    ASSERT_EQ(printers.size(), 2u);
    const JsonValue& first = printers[0];
    EXPECT_EQ(ValueText(*FindMember(first, "outcome")), "partial");
    const auto counters = FindMember(first, "counters")->items();
    ASSERT_EQ(counters.size(), 6u);
    EXPECT_EQ(ValueText(*FindMember(counters[0], "value")),
              "line\x1b[2Jfeed\xef\xbf\xbd" + std::string(40, '9'));
    EXPECT_EQ(ValueText(*FindMember(counters[1], "status")), "error");
    EXPECT_EQ(ValueText(*FindMember(counters[1], "error_status")), "2");
    EXPECT_TRUE(FindMember(counters[1], "value")->IsNull());
    EXPECT_EQ(ValueText(*FindMember(counters[2], "status")), "no answer");
    EXPECT_EQ(ValueText(*FindMember(counters[3], "status")), "skipped");
    EXPECT_EQ(ValueText(*FindMember(printers[1], "id")), "\"102\"");
    EXPECT_EQ(ValueText(*FindMember(printers[1], "error")), "Socket Error # 11001\r\nHost not found.");
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
