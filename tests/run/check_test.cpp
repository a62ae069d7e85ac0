// The technician's check against the real simulator and fleet: each printer's verdict and who answers at
// its address, the server's refusals, an interrupt, and above all that a check uploads nothing.

#include "run_fixture.h"

#include "console/check.h"
#include "console/check_report.h"
#include "server/json.h"
#include "site/reading_history_file.h"

#include <atomic>

namespace telva::test {
namespace {

class CheckRun : public AuditRunTest {
protected:
    // A settings file aimed at the simulator, with `password` for the login.
    void WriteSettings(const std::string& password, bool with_server = true) {
        const Credentials credentials = server().credentials();
        dir_.Write("config.ini", "[SERVIDOR]\ncontrato=" + credentials.contract + "\n" +
                                     (with_server ? "endereco=" + server().Address() + "\n" : "") +
                                     "horario=03:00\nuser=" + credentials.user + "\npass=" + password + "\n");
    }

    // The agents of 127.0.0.210 and .211, listed with `serials`; the agents say "SN-210" and " sn-211 ".
    void ServeTwoAnsweringPrinters(const std::array<std::string, 2>& serials = {"SN-210", "SN-211"}) {
        const Fleet& fleet = RunFleet();
        PrinterTable printers;
        printers.AddAgent(fleet.printers[0], CounterOids(), "", "", serials[0]);
        printers.AddAgent(fleet.printers[1], CounterOids(), "", "", serials[1]);
        server().ServeItems(printers.ItemsJson());
        WriteSettings(server().credentials().password);
    }

    CheckReport Check() {
        CheckOptions options;
        options.settings_path = dir_.file("config.ini");
        options.history_path = dir_.file(kHistoryFileName);
        options.wait_seconds = 1;
        options.http_limits = context_.http_limits;
        options.interrupted = interrupted_;
        return RunCheck(clock_, options);
    }

    std::function<bool()> interrupted_;
};

std::vector<std::string> Outcomes(const CheckReport& report) {
    std::vector<std::string> outcomes;
    for (const PrinterCheck& check : report.printers) {
        outcomes.emplace_back(PrinterOutcome(check.reading));
    }
    return outcomes;
}

TEST_F(CheckRun, MixedFleetGivesEachPrinterItsVerdictAndUploadsNothing) {
    const Fleet& fleet = RunFleet();
    const std::string long_host = "a-printer-name-longer-than-any-table-cell..invalid";
    PrinterTable printers;
    printers.AddAgent(fleet.printers[0], CounterOids(), "", "", "SN-210");
    printers.AddAgent(fleet.printers[2]);         // holds no lifecount and no serial number
    printers.AddEmpty(fleet.printers[3].address); // no agent: the datagram is refused
    printers.AddEmpty(long_host);
    server().ServeItems(printers.ItemsJson());
    WriteSettings(server().credentials().password);

    const CheckReport report = Check();

    EXPECT_EQ(Outcomes(report), (std::vector<std::string>{
                                    "read", "read", kRefusalEndsTheWait ? "refused" : "no answer", "error"}));
    EXPECT_EQ(report.ExitStatus(), 1);
    EXPECT_EQ(server().Endpoints(), (std::vector<std::string>{"login", "fetch", "logout"}));
    EXPECT_TRUE(server().Uploads().empty());
    EXPECT_TRUE(DailyFile().empty()) << "a check writes nothing into the daily log";

    const PrinterReading& plain = report.printers[0].reading;
    for (std::size_t k = 0; k < kCounterCount; ++k) {
        EXPECT_EQ(plain.results[k], QueryResult::Value);
        EXPECT_EQ(plain.readings[k], fleet.printers[0].Value(CounterOids()[k]));
    }
    const PrinterReading& lacking = report.printers[1].reading;
    EXPECT_EQ(lacking.results[0], QueryResult::ErrorStatus);
    EXPECT_EQ(lacking.error_status[0], 2);
    EXPECT_EQ(lacking.results[1], QueryResult::Value);
    EXPECT_EQ(lacking.serial.result, QueryResult::ErrorStatus);
    // A printer that leaves a query unanswered is asked nothing more.
    const PrinterReading& absent = report.printers[2].reading;
    for (std::size_t k = 1; k < kCounterCount; ++k) {
        EXPECT_EQ(absent.results[k], QueryResult::NotAsked);
    }
    EXPECT_EQ(absent.serial.result, QueryResult::NotAsked);
    EXPECT_FALSE(report.printers[3].reading.error.empty());

    const std::string table = CheckTable(report);
    EXPECT_NE(table.find("noSuchName"), std::string::npos);
    EXPECT_NE(table.find("  SN-210  Telva Sim 210 multifu...  read"), std::string::npos) << table;
    EXPECT_NE(table.find("  " + long_host + "  "), std::string::npos) << "addresses are shown whole";
    EXPECT_NE(
        table.find(kRefusalEndsTheWait
                       ? "4 printers: 2 read, 0 partial, 1 no answer (1 refused), 1 failed; nothing uploaded"
                       : "4 printers: 2 read, 0 partial, 1 no answer, 1 failed; nothing uploaded"),
        std::string::npos)
        << table;
    EXPECT_EQ(table.find(server().credentials().password), std::string::npos);
    const std::optional<JsonDocument> json = ParseJsonObject(CheckJson(report, "v"));
    ASSERT_TRUE(json);
    EXPECT_EQ(ValueText(*FindMember(json->root(), "status")), "1");
    const auto listed = FindMember(json->root(), "printers")->items();
    EXPECT_EQ(ValueText(*FindMember(listed[0], "model")), fleet.printers[0].Value(kDescriptionOid));
    EXPECT_EQ(FindMember(listed[0], "serial_matches")->kind(), JsonKind::kTrue);
    for (const char* member : {"serial", "model", "serial_matches"}) {
        EXPECT_TRUE(FindMember(listed[2], member)->IsNull()) << member;
    }
    EXPECT_TRUE(FindMember(listed[1], "serial_matches")->IsNull()) << "no serial number is no difference";
}

TEST_F(CheckRun, EveryPrinterReadIsStatusZeroUnlessASerialNumberDiffers) {
    ServeTwoAnsweringPrinters({" sn-210", "SN-211"}); // letter case and blanks around do not count
    const CheckReport report = Check();
    EXPECT_EQ(Outcomes(report), (std::vector<std::string>{"read", "read"}));
    EXPECT_EQ(SerialMatches(report.printers[0]), true);
    EXPECT_EQ(SerialMatches(report.printers[1]), true);
    EXPECT_EQ(report.ExitStatus(), 0);

    // The address now answers for another machine than the list's; and the logout fails.
    ServeTwoAnsweringPrinters({"SN-210", "OTHER-1"});
    server().Behave("logout", "error500");
    const CheckReport moved = Check();
    EXPECT_EQ(Outcomes(moved), (std::vector<std::string>{"read", "read"}));
    EXPECT_EQ(moved.ExitStatus(), 1);
    const std::string table = CheckTable(moved);
    EXPECT_NE(table.find("read, serial differs: server OTHER-1, printer sn-211"), std::string::npos) << table;
    EXPECT_NE(table.find("2 printers: 2 read, 0 partial, 0 no answer, 0 failed, 1 serial differs; nothing "
                         "uploaded\nResult: 1 serial differs; the logout failed ("),
              std::string::npos)
        << table;
}

TEST_F(CheckRun, ReadingsStandBesideTheHistoryAndACounterThatWentBackIsStatusOne) {
    const Fleet& fleet = RunFleet();
    PrinterTable printers;
    printers.AddAgent(fleet.printers[0], CounterOids(), "", "", "SN-210"); // ids "1000", "1001", "1002"
    printers.AddAgent(fleet.printers[1], CounterOids(), "", "", "SN-211");
    printers.AddAgent(fleet.printers[2]);
    server().ServeItems(printers.ItemsJson());
    WriteSettings(server().credentials().password);
    // An accepted upload saw more pages on "1000" than it has now, the same readings on "1001", and no
    // "1002".
    CounterReadings higher, same;
    for (std::size_t k = 0; k < kCounterCount; ++k) {
        higher[k] = fleet.printers[0].Value(CounterOids()[k]);
        same[k] = fleet.printers[1].Value(CounterOids()[k]);
    }
    ASSERT_TRUE(IsWholeNumber(higher[0]));
    const std::string was = std::to_string(std::stoull(higher[0]) + 1);
    higher[0] = was;
    HistoryUpdate update(ReadingHistory(), server().credentials().contract, clock_.Now());
    update.Add("1000", higher);
    update.Add("1001", same);
    ASSERT_EQ(SaveReadingHistory(dir_.file(kHistoryFileName), std::move(update).Finish()), "");
    const std::string kept = dir_.Read(kHistoryFileName);

    const CheckReport report = Check();
    EXPECT_EQ(CompareCounter(report.printers[1], 0).lower, false);
    EXPECT_FALSE(report.printers[2].kept);
    EXPECT_EQ(report.ExitStatus(), 1);
    EXPECT_EQ(dir_.Read(kHistoryFileName), kept) << "a check only reads the history";
    const std::string table = CheckTable(report);
    EXPECT_NE(table.find(" (was " + was + ") LOWER  "), std::string::npos) << table;
    EXPECT_NE(table.find("0 failed, 1 with lower counters; nothing uploaded"), std::string::npos) << table;
}

TEST_F(CheckRun, RefusedLoginOrMissingServerIsStatusTwo) {
    WriteSettings("wrong");
    const CheckReport refused = Check();
    EXPECT_EQ(refused.login, StepResult::Failed);
    EXPECT_EQ(refused.printer_list, StepResult::NotTried);
    EXPECT_NE(refused.failure.find("the server refused the login"), std::string::npos) << refused.failure;
    EXPECT_EQ(refused.ExitStatus(), 2);
    EXPECT_EQ(server().Endpoints(), (std::vector<std::string>{"login"}));

    server().Reset();
    WriteSettings(server().credentials().password, false);
    const CheckReport unnamed = Check();
    EXPECT_EQ(unnamed.login, StepResult::NotTried);
    EXPECT_EQ(unnamed.ExitStatus(), 2);
    EXPECT_FALSE(unnamed.settings_problems.empty());
    const std::string table = CheckTable(unnamed);
    EXPECT_NE(table.find("Server URL    (none)\n"), std::string::npos) << "no URL made up: " << table;
    EXPECT_NE(CheckJson(unnamed, "v").find("\"server_url\": null"), std::string::npos);
    EXPECT_TRUE(server().Endpoints().empty());
}

TEST_F(CheckRun, InterruptLeavesTheRestUnreadAndStillLogsOut) {
    ServeTwoAnsweringPrinters();
    std::atomic<int> asked{0};
    interrupted_ = [&asked] { return ++asked > 1; }; // the first printer's first question passes
    const CheckReport report = Check();
    EXPECT_TRUE(report.interrupted);
    EXPECT_EQ(report.ExitStatus(), 1);
    EXPECT_EQ(Outcomes(report).back(), "not read");
    EXPECT_EQ(server().Endpoints().back(), "logout");
}

} // namespace
} // namespace telva::test
