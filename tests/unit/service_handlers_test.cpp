// The start and stop handlers: settings into the run context, the server URL, and their log lines.

#include "audit_service.h"
#include "site/daily_log.h"
#include "site/local_address.h"
#include "site/settings.h"
#include "support/fake_clock.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <filesystem>

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

TEST_F(Handlers, StartWithoutSettingsFileUsesDefaultsAndNamesTheFile) {
    AuditService service(context_, dir_.file("absent.ini"));
    bool started = true;
    service.HandleStart(started);
    EXPECT_TRUE(started);
    const std::string log = TodaysLog();
    const std::string started_line = " Service started, IP " + context_.settings.local_address + "\r\n";
    const auto start = log.find(started_line);
    ASSERT_NE(start, std::string::npos) << log;
    EXPECT_EQ(log.find(" Settings file not read, defaults in use: " + dir_.file("absent.ini") + "\r\n"),
              start + started_line.size() + 19)
        << "the line right after the start line: " << log;
    const Settings& settings = context_.settings;
    EXPECT_EQ(settings.schedule_time, "03:00");
    EXPECT_EQ(settings.user_name, "vrel");
    EXPECT_EQ(settings.password, "24680");
    EXPECT_EQ(settings.contract_number, "");
    EXPECT_EQ(settings.base_url, "http:///app/index.php/");
}

// A scheme other than http or https is not used: the start line is followed by one that names the address,
// the server URL is that of an empty address, and the settings review counts it as a problem.
TEST_F(Handlers, AddressWithAnUnknownSchemeIsNamedAtStartAndNotUsed) {
    for (const char* usable :
         {"", "192.0.2.10:8080", "http://h", "HTTPS://h:1", "HtTp://h", "myhttphost/x"}) {
        EXPECT_TRUE(ServerAddressUsable(usable)) << usable;
    }
    for (const char* unusable : {"htps://h:8443", "httpss://h:1", "ftp://h", "://h", "h/x?to=http://y"}) {
        EXPECT_FALSE(ServerAddressUsable(unusable)) << unusable;
    }
    dir_.Write("config.ini", "[SERVIDOR]\r\ncontrato=77\r\nendereco=Htps://Server:8443\r\n");
    AuditService service(context_, dir_.file("config.ini"));
    bool started = true;
    service.HandleStart(started);
    EXPECT_EQ(context_.settings.base_url, "http:///app/index.php/");
    const std::string log = TodaysLog();
    const std::string started_line = " Service started, IP " + context_.settings.local_address + "\r\n";
    ASSERT_NE(log.find(started_line), std::string::npos) << log;
    EXPECT_EQ(log.find(" Server address not usable: Htps://Server:8443\r\n"),
              log.find(started_line) + started_line.size() + 19)
        << log;
    const SettingsReview review = ReviewSettings(dir_.file("config.ini"), context_.settings, ":");
    EXPECT_FALSE(review.usable);
    EXPECT_EQ(review.problems,
              std::vector<std::string>{"\"endereco\" \"Htps://Server:8443\" names a scheme "
                                       "other than http:// or https://: no server is called"});
}

TEST_F(Handlers, StartNamesAnUnusableScheduleTimeAndKeepsIt) {
    for (const std::string value : {"3h", "25:00", "03:60", "3:00", "03.00", "03:00 "}) {
        dir_.Write("config.ini", "[SERVIDOR]\r\nhorario=" + value + "\r\n");
        AuditService service(context_, dir_.file("config.ini"));
        bool started = true;
        service.HandleStart(started);
        EXPECT_EQ(context_.settings.schedule_time, value == "03:00 " ? "03:00" : value);
    }
    const std::string log = TodaysLog();
    for (const std::string value : {"3h", "25:00", "03:60", "3:00", "03.00"}) {
        EXPECT_NE(log.find(" Invalid horario \"" + value + "\": only the start run will happen\r\n"),
                  std::string::npos)
            << value << "\n"
            << log;
    }
    EXPECT_EQ(log.find("Invalid horario \"03:00\""), std::string::npos) << "blanks around values are removed";
    EXPECT_EQ(log.find("Settings file not read"), std::string::npos) << log;
    clock_.time_separator = ".";
    AuditService service(context_, dir_.file("config.ini"));
    dir_.Write("config.ini", "[SERVIDOR]\r\nhorario=23.59\r\n");
    bool started = true;
    service.HandleStart(started);
    EXPECT_EQ(TodaysLog().find("Invalid horario \"23.59\""), std::string::npos)
        << "the regional separator counts";
}

#ifndef _WIN32
// The settings file holds the server password: a file every user may read is named at each start, after
// the other start lines; one readable by its owner and group only is not.
TEST_F(Handlers, SettingsFileReadableByEveryUserIsNamedAfterTheOtherStartLines) {
    using std::filesystem::perms;
    const std::string path = dir_.file("config.ini");
    dir_.Write("config.ini", "[SERVIDOR]\r\nhorario=3h\r\npass=secret\r\n");
    std::filesystem::permissions(path, perms::owner_read | perms::owner_write | perms::group_read |
                                           perms::others_read);
    AuditService service(context_, path);
    bool started = true;
    service.HandleStart(started);
    const std::string log = TodaysLog();
    const std::string readable =
        " Settings file readable by every user, it holds the server password: " + path;
    const auto start = log.find(" Service started, IP ");
    const auto invalid = log.find(" Invalid horario \"3h\": only the start run will happen\r\n");
    ASSERT_NE(start, std::string::npos) << log;
    ASSERT_NE(invalid, std::string::npos) << log;
    EXPECT_EQ(log.find(readable + "\r\n"), log.size() - readable.size() - 2) << log;
    EXPECT_LT(invalid, log.find(readable)) << log;

    std::filesystem::permissions(path, perms::owner_read | perms::owner_write | perms::group_read);
    service.HandleStart(started);
    const std::string again = TodaysLog();
    EXPECT_EQ(again.find(readable, log.size()), std::string::npos) << again;
    EXPECT_NE(again.find(" Service started, IP ", log.size()), std::string::npos) << again;
}
#endif

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

TEST_F(Handlers, AfterAStopsCutOffTheStopWaitEndsFourAndAHalfSecondsLater) {
    AuditService service(context_, dir_.file("absent.ini"));
    bool stopped = true;
    const auto now = SteadyClock::now();
    context_.stop_cutoff.Set(now + std::chrono::seconds(20)); // the stop has just come
    service.HandleStop(stopped);
    context_.stop_cutoff.Set(now - std::chrono::seconds(2)); // it came 22 s ago
    service.HandleStop(stopped);
    context_.stop_cutoff.Set(now - std::chrono::seconds(10)); // 30 s ago
    service.HandleStop(stopped);
    const std::vector<std::uint32_t> sleeps = clock_.Sleeps();
    ASSERT_EQ(sleeps.size(), 3u);
    EXPECT_EQ(sleeps[0], 5000u);
    EXPECT_LE(sleeps[1], 2500u);
    EXPECT_GT(sleeps[1], 1000u);
    EXPECT_EQ(sleeps[2], 0u);
}

} // namespace
} // namespace telva
