// The one-off run of the command line, in-process: what it says at the console besides the log's lines, and
// what its result and exit status make of the run.

#include "run_fixture.h"

#include "console/once.h"

namespace telva::test {
namespace {

class OnceRun : public AuditRunTest {
protected:
    // Runs -ONCE's run with config.ini made of the simulator's address, the contract and `extra` lines;
    // yields the exit status. The console's lines go to shown_, the program's own words to said_.
    int RunOnceWith(const std::string& extra) {
        dir_.Write("config.ini",
                   "[SERVIDOR]\r\nendereco=" + server().Address() + "\r\ncontrato=77\r\n" + extra);
        ConsoleEchoLog echo(log_, [this](std::string_view line) { shown_.emplace_back(line); });
        RunContext context(clock_, echo);
        context.snmp = context_.snmp;
        context.http_limits = context_.http_limits;
        return RunOnce(context, dir_.file("config.ini"),
                       [this](const std::string& words) { said_.push_back(words); });
    }

    std::vector<std::string> shown_;
    std::vector<std::string> said_;
};

TEST_F(OnceRun, SaysEverySettingsProblemAndClaimsNoLogoutTheServerDidNotTake) {
    PrinterTable printers;
    printers.AddAgent(RunFleet().printers[0]);
    server().ServeItems(printers.ItemsJson());
    server().Behave("logout", "error500");

    EXPECT_EQ(RunOnceWith("horario=25:61\r\nparalelo=abc\r\n"), 2);

    ASSERT_EQ(said_.size(), 3u);
    EXPECT_EQ(said_[0].rfind("Settings: \"horario\" \"25:61\"", 0), 0u) << said_[0];
    EXPECT_EQ(said_[1], "Settings: \"paralelo\" \"abc\" is not a whole number from 1 to 256: 1 in effect");
    EXPECT_EQ(said_[2].rfind("Result: the logout failed: ", 0), 0u) << said_[2];
    // The run was made, the upload accepted; the daily log keeps its logout line, the console leaves it out.
    EXPECT_EQ(server().Endpoints(), (std::vector<std::string>{"login", "fetch", "update", "logout"}));
    const std::vector<std::string> lines = log_.Lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "Logout TELVA ok");
    EXPECT_EQ(shown_, std::vector<std::string>(lines.begin(), lines.end() - 1));
    EXPECT_NE(DailyFile().find(" Update()\r\n"), std::string::npos);
    EXPECT_EQ(DailyFile().substr(DailyFile().size() - 17), "Logout TELVA ok\r\n");
}

} // namespace
} // namespace telva::test
