// The technician's check against the real simulator and fleet: each printer's verdict, the server's refusals,
// an interrupt, and above all that a check uploads nothing.

#include "run_fixture.h"

#include "console/check.h"
#include "console/check_report.h"
#include "server/json.h"

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

    void ServeTwoAnsweringPrinters() {
        const Fleet& fleet = RunFleet();
        PrinterTable printers;
        printers.AddAgent(fleet.printers[0]);
        printers.AddAgent(fleet.printers[1]);
        server().ServeItems(printers.ItemsJson());
        WriteSettings(server().credentials().password);
    }

    CheckReport Check() {
        CheckOptions options;
        options.settings_path = dir_.file("config.ini");
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
    PrinterTable printers;
    printers.AddAgent(fleet.printers[0]);
    printers.AddAgent(fleet.printers[2]);         // holds no lifecount: an answer with an error status
    printers.AddEmpty(fleet.printers[3].address); // no agent
    printers.AddEmpty("printer..invalid");
    server().ServeItems(printers.ItemsJson());
    WriteSettings(server().credentials().password);

    const CheckReport report = Check();

    EXPECT_EQ(Outcomes(report), (std::vector<std::string>{"read", "read", "no answer", "error"}));
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
    // A printer that leaves a query unanswered is asked nothing more.
    const PrinterReading& absent = report.printers[2].reading;
    EXPECT_EQ(absent.results[0], QueryResult::NoAnswer);
    for (std::size_t k = 1; k < kCounterCount; ++k) {
        EXPECT_EQ(absent.results[k], QueryResult::NotAsked);
    }
    EXPECT_FALSE(report.printers[3].reading.error.empty());

    const std::string table = CheckTable(report);
    EXPECT_NE(table.find("err:2"), std::string::npos);
    EXPECT_NE(table.find("4 printers: 2 read, 0 partial, 1 no answer, 1 failed; nothing uploaded"),
              std::string::npos)
        << table;
    EXPECT_EQ(table.find(server().credentials().password), std::string::npos);
    const std::optional<JsonDocument> json = ParseJsonObject(CheckJson(report, "v"));
    ASSERT_TRUE(json);
    EXPECT_EQ(ValueText(*FindMember(json->root(), "status")), "1");
}

TEST_F(CheckRun, EveryPrinterReadIsStatusZero) {
    ServeTwoAnsweringPrinters();
    const CheckReport report = Check();
    EXPECT_EQ(Outcomes(report), (std::vector<std::string>{"read", "read"}));
    EXPECT_EQ(report.ExitStatus(), 0);
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
