// The start and stop handlers: settings into the run context, the server URL, and their log lines.

#include "audit_service.h"
#include "site/daily_log.h"
#include "site/local_address.h"
#include "site/settings.h"
#include "support/fake_clock.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

namespace telva {
namespace {

TEST(DeriveBaseUrl, LowerCasedWithHttpAddedOnlyWhenAbsent) {
    EXPECT_EQ(DeriveBaseUrl("192.0.2.10"), "http://192.0.2.10/app/index.php/");
    EXPECT_EQ(DeriveBaseUrl("HTTPS://Server.EXAMPLE"), "https://server.example/app/index.php/");
    EXPECT_EQ(DeriveBaseUrl("myhttphost:8080"), "myhttphost:8080/app/index.php/");
    EXPECT_EQ(DeriveBaseUrl("http://host/"), "http://host//app/index.php/");
    EXPECT_EQ(DeriveBaseUrl(""), "http:///app/index.php/");
    EXPECT_EQ(DeriveBaseUrl("Host/Path"), "http://host/path/app/index.php/");
}

class Handlers : public ::testing::Test {
protected:
    std::string TodaysLog() { return dir_.Read(LogFileName(clock_.Now())); }

    test::TempDir dir_;
    test::FakeClock clock_;
    DailyLog log_{dir_.dir(), clock_};
    RunContext context_{clock_, log_};
};

TEST_F(Handlers, StartReadsEveryKeyDerivesBaseUrlAndLogsTheAddress) {
    dir_.Write("config.ini", "[SERVIDOR]\r\ncontrato=77\r\nendereco=Server.Example:8080\r\nhorario=02:30\r\n"
                             "user='audit team'\r\npass=secret\r\ntimeout=abc\r\n");
    AuditService service(context_, dir_.file("config.ini"));
    bool started = true;
    service.HandleStart(started);
    EXPECT_TRUE(started);
    const Settings& settings = context_.settings;
    EXPECT_EQ(settings.contract_number, "77");
    EXPECT_EQ(settings.server_address, "Server.Example:8080");
    EXPECT_EQ(settings.schedule_time, "02:30");
    EXPECT_EQ(settings.user_name, "audit team");
    EXPECT_EQ(settings.password, "secret");
    EXPECT_EQ(settings.base_url, "http://server.example:8080/app/index.php/");
    EXPECT_EQ(settings.local_address, GetLocalAddress());
    const std::string log = TodaysLog();
    EXPECT_NE(log.find(" Service started, IP " + settings.local_address + "\r\n"), std::string::npos) << log;
}

TEST_F(Handlers, StartWithoutSettingsFileUsesDefaults) {
    AuditService service(context_, dir_.file("absent.ini"));
    bool started = true;
    service.HandleStart(started);
    EXPECT_TRUE(started);
    const Settings& settings = context_.settings;
    EXPECT_EQ(settings.schedule_time, "03:00");
    EXPECT_EQ(settings.user_name, "vrel");
    EXPECT_EQ(settings.password, "24680");
    EXPECT_EQ(settings.contract_number, "");
    EXPECT_EQ(settings.base_url, "http:///app/index.php/");
}

TEST_F(Handlers, EveryStopWaitsFiveSecondsThenLogsTheAddress) {
    context_.settings.local_address = "192.168.0.10";
    AuditService service(context_, dir_.file("absent.ini"));
    bool stopped = true;
    service.HandleStop(stopped);
    service.HandleStop(stopped);
    EXPECT_TRUE(stopped);
    EXPECT_EQ(clock_.Sleeps(), (std::vector<std::uint32_t>{5000, 5000}));
    const std::string log = TodaysLog();
    const std::string line = " Service stopped, IP 192.168.0.10\r\n";
    const auto first = log.find(line);
    ASSERT_NE(first, std::string::npos) << log;
    EXPECT_NE(log.find(line, first + 1), std::string::npos) << log;
}

} // namespace
} // namespace telva
