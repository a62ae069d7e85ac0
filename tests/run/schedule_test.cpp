// The service's real handlers around real audit runs: the start handler's settings file, the schedule loop
// on the fake clock (its pauses and the random delay cost nothing), and the stop handler.

#include "run_fixture.h"

#include "audit_service.h"
#include "scheduler.h"
#include "server/api_endpoints.h"
#include "service/service_status.h"
#include "site/local_address.h"
#include "site/reading_history_file.h"
#include "support/fake_service_binding.h"

#include <filesystem>

namespace telva::test {
namespace {

std::string SettingsText(const std::string& address, const std::string& schedule, const Credentials& login) {
    return "[SERVIDOR]\r\ncontrato=" + login.contract + "\r\nendereco=" + address +
           "\r\nhorario=" + schedule + "\r\nuser=" + login.user + "\r\npass=" + login.password + "\r\n";
}

using ScheduleLoop = AuditRunTest;

TEST_F(ScheduleLoop, StartRunThenTheDailyRunThenTwoStopsHandledRightAfterIt) {
    // The run at start meets a printer list it cannot use and uploads nothing; the service goes on, the list
    // is mended during the first pause, and the run at 14:10 (after its random delay) uploads.
    const FleetPrinter& agent = RunFleet().printers[0];
    PrinterTable printers;
    printers.AddAgent(agent);
    PrinterTable unusable;
    unusable.Add(agent.address, CounterOids(), {}, "123456789e10");
    server().ServeItems(unusable.ItemsJson());
    context_.settings = Settings(); // the start handler fills them from the file
    dir_.Write("config.ini",
               SettingsText(server().Address(), "14:10", ContractServer::StandardCredentials()));

    FakeServiceBinding binding;
    AuditService service(context_, dir_.file("config.ini"), binding);
    clock_.delays = {120000};
    bool mended = false;
    clock_.before_sleep = [&](std::uint32_t) {
        if (!mended) {
            mended = true;
            server().ServeItems(printers.ItemsJson());
        }
        if (clock_.Time() > 2 * kDayMs) { // a loop that never stopped: end it, and fail
            ADD_FAILURE() << "no stop within two days";
            service.QueueControlRequest(kControlStop);
        }
    };
    // Two stops arrive once the daily run has read its printer.
    bool stops_sent = false;
    log_.on_line = [&](std::string_view line) {
        if (mended && !stops_sent && line.rfind("SNMP OK IP ", 0) == 0) {
            stops_sent = true;
            service.QueueControlRequest(kControlStop);
            service.QueueControlRequest(kControlStop);
        }
    };
    service.RunService();

    const std::string started = "Service started, IP " + GetLocalAddress();
    const std::string stopped = "Service stopped, IP " + GetLocalAddress();
    const std::vector<std::pair<std::string, std::string>> entries = {
        {"14:07:09", started},
        {"14:07:09", "Login TELVA ok"},
        {"14:07:09", "Printer list not usable, nothing uploaded: printer 0 \"id\" cannot be read: The number "
                     "123456789e10 cannot be read as text"},
        {"14:07:09", "Logout TELVA ok"},
        // Checks every 10 s from 14:07:09: the one at 14:10:09 matches, then the delay of 120 s.
        {"14:12:09", "Login TELVA ok"},
        {"14:12:09", "Printer count 1"},
        {"14:12:09", "SNMP trying IP " + agent.address},
        {"14:12:09", "SNMP OK IP " + agent.address},
        {"14:12:09", "Update()"},
        {"14:12:09", Summary(1, 1, 0, 0, 0, "accepted")},
        {"14:12:09", "Logout TELVA ok"},
        // The run ends first (the loop's pause is left out for a waiting stop); then each stop waits its 5 s.
        {"14:12:14", stopped},
        {"14:12:19", stopped},
    };
    std::string file;
    for (const auto& [time, message] : entries) {
        file += "05/03/2024 " + time + " " + message + "\r\n";
    }
    EXPECT_EQ(DailyFile(), file);
    std::vector<std::uint32_t> sleeps(18, kSchedulePauseMs);
    sleeps.insert(sleeps.end(), {120000, 5000, 5000});
    EXPECT_EQ(clock_.Sleeps(), sleeps);
    EXPECT_EQ(server().Endpoints(),
              (std::vector<std::string>{"login", "fetch", "logout", "login", "fetch", "update", "logout"}));
    const std::vector<RecordedUpload> uploads = server().Uploads();
    ASSERT_EQ(uploads.size(), 1u);
    EXPECT_EQ(uploads[0].fields, printers.UploadFields("77"));
    EXPECT_EQ(service.Status(), ServiceState::Stopped);
    EXPECT_TRUE(binding.Events().empty());
}

TEST_F(ScheduleLoop, ARefusedUploadIsTriedAgainAsAWholeRunAndOnlyTheAcceptedOneIsKept) {
    const FleetPrinter& agent = RunFleet().printers[0];
    PrinterTable printers;
    printers.AddAgent(agent);
    server().ServeItems(printers.ItemsJson());
    server().Behave("update", "refuse", "\"times\": 1");
    context_.settings = Settings();
    context_.reading_history_path = dir_.file("reading_history.txt");
    dir_.Write("config.ini",
               SettingsText(server().Address(), "03:00", ContractServer::StandardCredentials()) +
                   "repetir=30\r\n");
    FakeServiceBinding binding;
    AuditService service(context_, dir_.file("config.ini"), binding);
    bool kept_after_refusal = false;
    int logouts = 0;
    log_.on_line = [&](std::string_view line) {
        if (line.rfind("Next try at ", 0) == 0) {
            kept_after_refusal = std::filesystem::exists(dir_.path() / "reading_history.txt");
        }
        if (line == "Logout TELVA ok" && ++logouts == 2) {
            service.QueueControlRequest(kControlStop);
        }
    };
    clock_.before_sleep = [&](std::uint32_t) {
        if (clock_.Time() > 2 * kDayMs) {
            ADD_FAILURE() << "no stop within two days";
            service.QueueControlRequest(kControlStop);
        }
    };
    service.RunService();

    const std::vector<std::string> run =
        Join({{"Login TELVA ok", "Printer count 1"}, ReadLines(agent.address)});
    std::string file = "05/03/2024 14:07:09 Service started, IP " + GetLocalAddress() + "\r\n";
    for (const std::string& line : Join({run,
                                         {"Update()", Summary(1, 1, 0, 0, 0, "refused"), "Logout TELVA ok",
                                          "Next try at 14:37 (1 of 12): upload refused"}})) {
        file += "05/03/2024 14:07:09 " + line + "\r\n";
    }
    for (const std::string& line :
         Join({run, {"Update()", Summary(1, 1, 0, 0, 0, "accepted"), "Logout TELVA ok"}})) {
        file += "05/03/2024 14:37:09 " + line + "\r\n";
    }
    file += "05/03/2024 14:37:14 Service stopped, IP " + GetLocalAddress() + "\r\n";
    EXPECT_EQ(DailyFile(), file);
    std::vector<std::uint32_t> sleeps(180, kSchedulePauseMs); // the try without the random delay
    sleeps.push_back(5000);
    EXPECT_EQ(clock_.Sleeps(), sleeps);
    EXPECT_EQ(server().Endpoints(), (std::vector<std::string>{"login", "fetch", "update", "logout", "login",
                                                              "fetch", "update", "logout"}));
    const std::vector<RecordedUpload> uploads = server().Uploads();
    ASSERT_EQ(uploads.size(), 2u);
    EXPECT_FALSE(uploads[0].accepted);
    EXPECT_TRUE(uploads[1].accepted);
    EXPECT_EQ(uploads[1].fields, printers.UploadFields("77"));
    EXPECT_FALSE(kept_after_refusal);
    EXPECT_NE(LoadReadingHistory(context_.reading_history_path).history.Find("77", "1000"), nullptr);
}

TEST_F(ScheduleLoop, AStopDuringTheRandomDelayEndsItSetsTheCutOffAndNoRunStarts) {
    // Started within the scheduled minute, the start run waits its random delay; 30 s into it, a stop.
    context_.settings = Settings();
    dir_.Write("config.ini",
               SettingsText(server().Address(), "14:07", ContractServer::StandardCredentials()));
    FakeServiceBinding binding;
    AuditService service(context_, dir_.file("config.ini"), binding);
    clock_.delays = {540000};
    SteadyClock::time_point before;
    SteadyClock::time_point after;
    clock_.before_sleep = [&](std::uint32_t milliseconds) {
        if (milliseconds == 540000) {
            clock_.Advance(30000);
            before = SteadyClock::now();
            service.QueueControlRequest(kControlStop);
            after = SteadyClock::now();
        }
    };
    service.RunService();

    EXPECT_EQ(DailyFile(), "05/03/2024 14:07:09 Service started, IP " + GetLocalAddress() +
                               "\r\n05/03/2024 14:07:44 Service stopped, IP " + GetLocalAddress() + "\r\n");
    EXPECT_EQ(clock_.Sleeps(), (std::vector<std::uint32_t>{540000, 5000}));
    EXPECT_TRUE(server().Endpoints().empty());
    // The cut-off for a run's server calls: 20 s after the stop arrived.
    const auto cutoff = context_.stop_cutoff.Get();
    ASSERT_TRUE(cutoff);
    EXPECT_GE(*cutoff, before + kStopServerCallsBudget);
    EXPECT_LE(*cutoff, after + kStopServerCallsBudget);
    EXPECT_EQ(service.Status(), ServiceState::Stopped);
}

class LongSettings : public AuditRunTest {
protected:
    ContractServer& server() override { return ContractServer::LongSettings(); }
};

TEST_F(LongSettings, ValuesOf3000CharactersAreCutTo2047AndSentSo) {
    const Credentials cut = ContractServer::LongCredentials();
    dir_.Write("config.ini",
               SettingsText(server().Address(), "99:99",
                            {std::string(3000, '7'), std::string(3000, 'u'), std::string(3000, 'p')}));
    PrinterTable printers;
    printers.AddAgent(RunFleet().printers[0]);
    server().ServeItems(printers.ItemsJson());
    AuditService service(context_, dir_.file("config.ini"));
    bool started = false;
    service.HandleStart(started);
    RunAudit(context_);

    EXPECT_EQ(server().Endpoints(), (std::vector<std::string>{"login", "fetch", "update", "logout"}));
    const std::vector<RecordedRequest> requests = server().Requests();
    ASSERT_FALSE(requests.empty());
    EXPECT_EQ(requests[0].Header("ZURMO_AUTH_USERNAME"), cut.user);
    EXPECT_EQ(requests[0].Header("ZURMO_AUTH_PASSWORD"), cut.password);
    const std::vector<RecordedUpload> uploads = server().Uploads();
    ASSERT_EQ(uploads.size(), 1u);
    EXPECT_TRUE(uploads[0].accepted);
    EXPECT_EQ(uploads[0].fields, printers.UploadFields(cut.contract));
}

TEST(StartHandler, WithoutSettingsTheLoginFailsBeforeAnyConnection) {
    // No server address: the URL has no host, so the login fails without a connection and says where it went.
    for (const bool empty_file : {false, true}) {
        SCOPED_TRACE(empty_file ? "empty settings file" : "no settings file");
        TempDir dir;
        if (empty_file) {
            dir.Write("config.ini", "");
        }
        FakeClock clock;
        MemoryLog log;
        RunContext context(clock, log);
        AuditService service(context, dir.file("config.ini"));
        bool started = false;
        service.HandleStart(started);
        RunAudit(context);
        std::vector<std::string> lines = {"Service started, IP " + GetLocalAddress()};
        if (!empty_file) { // an empty file is read; it only holds no values
            lines.push_back("Settings file not read, defaults in use: " + dir.file("config.ini"));
        }
        lines.insert(lines.end(),
                     {"URL has no host", "http:///app/index.php/zurmo/api/login", "Erro no login"});
        EXPECT_EQ(log.Lines(), lines);
    }
}

} // namespace
} // namespace telva::test
