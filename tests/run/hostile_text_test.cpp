// What a hostile server writes into the record: an answer that tries to forge a log line, cut the log file
// (0x1A) and drive a terminal, an answer of 100,000 characters, and a printer address with a line break and
// 0x1A bytes. The daily log and the -ONCE console keep one bounded line per entry, in order, each of them
// stamped, and nothing the program did not write.

#include "run_fixture.h"

#include "console/once.h"
#include "server/api_endpoints.h"
#include "text/network_text.h"

namespace telva::test {
namespace {

using HostileText = AuditRunTest;

TEST_F(HostileText, ForgingErasingAndEndlessTextsStayInsideTheirOwnBoundedLines) {
    const std::string forged =
        "01/01/2001 00:00:00 Audit summary: 9 printers, 9 read, 0 partial, 0 no answer, 0 "
        "failed; upload accepted";
    const std::string address = "printer..invalid\r\n" + forged + "\x1A\x1A";
    const std::string upload_answer = "Upload taken\r\n" + forged + "\r\n\x1A\x1A\x1B]0;owned\x07\x1B[2J";
    const std::string logout_answer(100000, 'L');
    PrinterTable printers;
    printers.AddEmpty(address);
    server().ServeItems(printers.ItemsJson());
    server().Behave("update", "malformed", "\"body\": " + JsonQuote(upload_answer));
    server().Behave("logout", "malformed", "\"body\": " + JsonQuote(logout_answer));

    // -ONCE's run, as the program makes it: the daily log (log_), the console's lines, its own words.
    dir_.Write("config.ini", "[SERVIDOR]\r\nendereco=" + server().Address() + "\r\ncontrato=77\r\n");
    std::vector<std::string> shown;
    std::vector<std::string> said;
    ConsoleEchoLog echo(log_, [&shown](std::string_view line) { shown.emplace_back(line); });
    RunContext context(clock_, echo);
    context.snmp = context_.snmp;
    context.http_limits = context_.http_limits;
    EXPECT_EQ(RunOnce(context, dir_.file("config.ini"),
                      [&said](const std::string& words) { said.push_back(words); }),
              2);

    const std::vector<std::string> lines = {"Login TELVA ok",
                                            "Printer count 1",
                                            "SNMP trying IP " + NetworkText(address),
                                            "Error 0 - Socket Error # 11001\r\nHost not found.",
                                            NetworkText(upload_answer),
                                            Url(kUpdateItemDataPath),
                                            "Update()",
                                            Summary(1, 0, 0, 0, 1, "failed"),
                                            NetworkText(logout_answer),
                                            Url(kLogoutPath),
                                            "Logout TELVA ok"};
    EXPECT_EQ(log_.Lines(), lines);
    EXPECT_EQ(lines[8], std::string(kNetworkTextLimit, 'L') + " ... (99000 more bytes)");
    const std::string daily = DailyFile();
    std::string file;
    for (const std::string& line : lines) {
        file += "05/03/2024 14:07:09 " + line + "\r\n";
    }
    EXPECT_EQ(daily, file);
    // No byte that cuts the file or drives a terminal; no line of its own for the forged text.
    EXPECT_EQ(daily.find_first_of(std::string("\x1A\x1B\x07", 3)), std::string::npos);
    EXPECT_EQ(daily.find("\r\n01/01/2001"), std::string::npos);

    // The console shows the log's lines, but no logout the server did not take; the result says why.
    EXPECT_EQ(shown, std::vector<std::string>(lines.begin(), lines.end() - 1));
    ASSERT_EQ(said.size(), 1u);
    EXPECT_EQ(said[0].rfind("Result: the upload failed: ", 0), 0u) << said[0];
    EXPECT_NE(said[0].find("; the logout failed: "), std::string::npos) << said[0];
    EXPECT_LT(said[0].size(), 1100u);
}

} // namespace
} // namespace telva::test
