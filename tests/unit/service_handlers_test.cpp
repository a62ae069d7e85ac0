// The start and stop handlers: settings into AuditSettings, BaseUrl, and their log lines.

#include "commons/daily_log.h"
#include "commons/local_address.h"
#include "main.h"
#include "support/fake_time.h"
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
    void SetUp() override {
        SetLogDirectory(dir_.dir());
        AuditSettings = {};
    }
    void TearDown() override { SetLogDirectory(""); }

    std::string TodaysLog() { return dir_.Read(LogFileName(SystemTime().Now())); }

    test::TempDir dir_;
    test::FakeTime time_;
};

TEST_F(Handlers, StartReadsEveryKeyDerivesBaseUrlAndLogsTheAddress) {
    dir_.Write("config.ini", "[SERVIDOR]\r\ncontrato=77\r\nendereco=Server.Example:8080\r\nhorario=02:30\r\n"
                             "user='audit team'\r\npass=secret\r\ntimeout=abc\r\n");
    TTELVA4Audit service(time_);
    service.SettingsPath = dir_.file("config.ini");
    bool started = true;
    service.ServiceStart(started);
    EXPECT_TRUE(started);
    EXPECT_EQ(AuditSettings.ContractNumber, "77");
    EXPECT_EQ(AuditSettings.ServerAddress, "Server.Example:8080");
    EXPECT_EQ(AuditSettings.ScheduleTime, "02:30");
    EXPECT_EQ(AuditSettings.UserName, "audit team");
    EXPECT_EQ(AuditSettings.Password, "secret");
    EXPECT_EQ(AuditSettings.BaseUrl, "http://server.example:8080/app/index.php/");
    EXPECT_EQ(AuditSettings.LocalIP, GetLocalAddress());
    const std::string log = TodaysLog();
    EXPECT_NE(log.find(" Service started, IP " + AuditSettings.LocalIP + "\r\n"), std::string::npos) << log;
}

TEST_F(Handlers, StartWithoutSettingsFileUsesDefaults) {
    TTELVA4Audit service(time_);
    service.SettingsPath = dir_.file("absent.ini");
    bool started = true;
    service.ServiceStart(started);
    EXPECT_TRUE(started);
    EXPECT_EQ(AuditSettings.ScheduleTime, "03:00");
    EXPECT_EQ(AuditSettings.UserName, "vrel");
    EXPECT_EQ(AuditSettings.Password, "24680");
    EXPECT_EQ(AuditSettings.ContractNumber, "");
    EXPECT_EQ(AuditSettings.BaseUrl, "http:///app/index.php/");
}

TEST_F(Handlers, EveryStopWaitsFiveSecondsThenLogsTheAddress) {
    AuditSettings.LocalIP = "192.168.0.10";
    TTELVA4Audit service(time_);
    bool stopped = true;
    service.ServiceStop(stopped);
    service.ServiceStop(stopped);
    EXPECT_TRUE(stopped);
    EXPECT_EQ(time_.sleeps, (std::vector<std::uint32_t>{5000, 5000}));
    const std::string log = TodaysLog();
    const std::string line = " Service stopped, IP 192.168.0.10\r\n";
    const auto first = log.find(line);
    ASSERT_NE(first, std::string::npos) << log;
    EXPECT_NE(log.find(line, first + 1), std::string::npos) << log;
}

} // namespace
} // namespace telva
