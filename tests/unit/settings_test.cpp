// The settings file rules. These run natively against our reader and under Wine against the platform's
// profile reader, so each case checks both readers against the same expectations.

#include "platform/exe_path.h"
#include "site/settings.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <tuple>
#include <vector>

namespace telva {
namespace {

class SettingsFile : public ::testing::Test {
protected:
    void Write(const std::string& content) { dir_.Write("config.ini", content); }
    std::string Path() const { return dir_.file("config.ini"); }
    std::string Text(const std::string& key, const std::string& def = "DEFAULT") {
        return ReadSettingText(dir_.file("config.ini"), kSettingsSection, key, def);
    }
    std::int32_t Integer(const std::string& key, std::int32_t def = 50) {
        return ReadSettingInteger(dir_.file("config.ini"), kSettingsSection, key, def);
    }
    test::TempDir dir_;
};

TEST_F(SettingsFile, MissingFileOrSectionGivesEveryDefault) {
    EXPECT_EQ(Text("horario", "03:00"), "03:00");
    EXPECT_EQ(Integer("timeout"), 50);
    Write("[OTHER]\r\nuser=someone\r\nhorario=01:00\r\n");
    EXPECT_EQ(Text("horario", "03:00"), "03:00");
    EXPECT_EQ(Text("user", "vrel"), "vrel");
    EXPECT_EQ(Text("pass", "24680"), "24680");
    EXPECT_EQ(Text("contrato", ""), "");
    EXPECT_EQ(Integer("timeout", -7), -7);
}

TEST_F(SettingsFile, CertificadoIsTakenBesideTheExecutableUnlessAbsolute) {
    EXPECT_EQ(ReadSettings(Path()).ca_file, "");
    Write("[SERVIDOR]\r\ncertificado=certs/company.pem\r\n");
    EXPECT_EQ(ReadSettings(Path()).ca_file, platform::ExecutableDirectory() + "certs/company.pem");
#ifdef _WIN32
    const std::string absolute = "C:\\certs\\company.pem";
    EXPECT_EQ(ResolveBesideExecutable("\\\\server\\certs\\ca.pem"), "\\\\server\\certs\\ca.pem");
#else
    const std::string absolute = "/etc/telva/company.pem";
#endif
    Write("[SERVIDOR]\r\ncertificado=" + absolute + "\r\n");
    EXPECT_EQ(ReadSettings(Path()).ca_file, absolute);
}

TEST_F(SettingsFile, SectionAndKeyNamesIgnoreCase) {
    Write("[servidor]\r\nUser=audit\r\nHorario=02:30\r\n");
    EXPECT_EQ(Text("user"), "audit");
    EXPECT_EQ(Text("horario"), "02:30");
}

TEST_F(SettingsFile, ValueIsEverythingAfterTheFirstEqualsWithoutSurroundingBlanks) {
    Write("[SERVIDOR]\r\nendereco = 192.0.2.10\r\npass= \t s3cr=t \t\r\ncontrato=77\r\n");
    EXPECT_EQ(Text("endereco"), "192.0.2.10");
    EXPECT_EQ(Text("pass"), "s3cr=t");
    EXPECT_EQ(Text("contrato"), "77");
}

TEST_F(SettingsFile, OnePairOfQuotesIsRemoved) {
    Write("[SERVIDOR]\r\nuser='audit team'\r\npass=\"secret\"\r\ncontrato=' 12'\r\n");
    EXPECT_EQ(Text("user"), "audit team");
    EXPECT_EQ(Text("pass"), "secret");
    EXPECT_EQ(Text("contrato"), " 12");
    EXPECT_EQ(Integer("contrato"), 12);
}

TEST_F(SettingsFile, EmptyValueIsEmptyTextNotTheDefault) {
    Write("[SERVIDOR]\r\nhorario=\r\ntimeout=\r\n");
    EXPECT_EQ(Text("horario", "03:00"), "");
    EXPECT_EQ(Integer("timeout"), 0);
}

TEST_F(SettingsFile, LongValueIsCutTo2047Characters) {
    const std::string long_value(3000, 'v');
    Write("[SERVIDOR]\r\nuser=" + long_value + "\r\n");
    EXPECT_EQ(Text("user"), long_value.substr(0, 2047));
}

TEST_F(SettingsFile, IntegerKeyByTheFileRules) {
    Write("[SERVIDOR]\r\nh1=0x1F\r\nh2=X1F\r\nh3=$1f\r\np=+7\r\nz=-0\r\nmax=2147483647\r\nover=2147483648\r\n"
          "mixed=12abc\r\nexp=1e3\r\nsign=-\r\ntab=\"\t12\"\r\n");
    EXPECT_EQ(Integer("h1"), 31);
    EXPECT_EQ(Integer("h2"), 31);
    EXPECT_EQ(Integer("h3"), 31);
    EXPECT_EQ(Integer("p"), 7);
    EXPECT_EQ(Integer("z"), 0);
    EXPECT_EQ(Integer("max"), 2147483647);
    EXPECT_EQ(Integer("over"), 0);
    EXPECT_EQ(Integer("mixed"), 0);
    EXPECT_EQ(Integer("exp"), 0);
    EXPECT_EQ(Integer("sign"), 0);
    EXPECT_EQ(Integer("tab"), 0);
    EXPECT_EQ(Integer("absent", 50), 50);
}

#ifdef _WIN32
// The Windows profile reader takes UTF-16 when the file begins with a byte-order mark.
TEST_F(SettingsFile, Utf16FileWithByteOrderMarkIsRead) {
    const std::u16string text = u"[SERVIDOR]\r\nuser=equipe s\u00E3o\r\ncontrato=77\r\n";
    std::string bytes = "\xFF\xFE";
    for (const char16_t unit : text) {
        bytes.push_back(static_cast<char>(unit & 0xFF));
        bytes.push_back(static_cast<char>(unit >> 8));
    }
    Write(bytes);
    EXPECT_EQ(Text("user"), "equipe s\xC3\xA3o");
    EXPECT_EQ(Text("contrato"), "77");
    EXPECT_EQ(Text("pass", "24680"), "24680");
    EXPECT_TRUE(SettingsFileReadable(Path()));
}
#else
// The POSIX reader takes UTF-8 only: a file saved as UTF-16 counts as not read, so that the start says so.
TEST_F(SettingsFile, Utf16FileIsNotReadable) {
    Write(std::string("\xFF\xFE[\0S\0", 6));
    EXPECT_FALSE(SettingsFileReadable(Path()));
    Write(std::string("[\0S\0E\0", 6));
    EXPECT_FALSE(SettingsFileReadable(Path()));
    Write("\xEF\xBB\xBF[SERVIDOR]\r\nuser=s\xC3\xA3o\r\n");
    EXPECT_TRUE(SettingsFileReadable(Path()));
}
#endif

TEST_F(SettingsFile, ParaleloIsAWholeNumberFrom1To256) {
    EXPECT_EQ(ReadSettings(Path()).parallel, 1); // no file
    const std::vector<std::pair<std::string, int>> cases = {
        {"16", 16}, {" 64", 64}, {"256", 256}, {"257", 256}, {"100000", 256}, {"0", 1},
        {"-3", 1},  {"", 1},     {"abc", 1},   {"8x", 1},    {"2.5", 1},      {"99999999999", 1},
    };
    for (const auto& [text, parallel] : cases) {
        Write("[SERVIDOR]\r\ncontrato=77\r\nparalelo=" + text + "\r\n");
        EXPECT_EQ(ReadSettings(Path()).parallel, parallel) << "paralelo=" << text;
    }
    Write("[SERVIDOR]\r\ncontrato=77\r\n");
    EXPECT_EQ(ReadSettings(Path()).parallel, 1);
}

TEST_F(SettingsFile, ConferirIsOnlyOneAndRepetirIsMinutesFrom1To720) {
    const Settings absent = ReadSettings(Path());
    EXPECT_FALSE(absent.compare_counters);
    EXPECT_EQ(absent.retry_minutes, 0);
    const std::vector<std::tuple<std::string, bool, int>> cases = {
        {"1", true, 1},      {"01", true, 1}, {"0x1", true, 1}, {"2", false, 2},   {"720", false, 720},
        {"721", false, 720}, {"0", false, 0}, {"-5", false, 0}, {"sim", false, 0}, {"", false, 0},
    };
    for (const auto& [text, compare, minutes] : cases) {
        Write("[SERVIDOR]\r\nconferir=" + text + "\r\nrepetir=" + text + "\r\n");
        EXPECT_EQ(ReadSettings(Path()).compare_counters, compare) << "conferir=" << text;
        EXPECT_EQ(ReadSettings(Path()).retry_minutes, minutes) << "repetir=" << text;
    }
}

// Everything the service would warn about or correct silently is a problem of the review, with the value in
// effect where the reader replaced one.
TEST_F(SettingsFile, ReviewNamesEveryProblemTheServiceWouldMeet) {
    const auto problems = [this] { return ReviewSettings(Path(), ReadSettings(Path()), ":").problems; };
    EXPECT_EQ(problems(), std::vector<std::string>{"the settings file cannot be read: " + Path()});
    const std::string good = "[SERVIDOR]\r\nendereco=127.0.0.1:8080\r\ncontrato=77\r\nhorario=03:00\r\n";
    for (const char* fine :
         {"", "paralelo=\r\n", "paralelo=1\r\n", "paralelo=0x10\r\n", "paralelo=256\r\n"}) {
        Write(good + fine);
        EXPECT_EQ(problems(), std::vector<std::string>{}) << fine;
    }
    const std::vector<std::pair<std::string, std::string>> wrong = {
        {"abc", "1"}, {"0", "1"}, {"-3", "1"}, {"257", "256"}};
    for (const auto& [text, in_effect] : wrong) {
        Write(good + "paralelo=" + text + "\r\n");
        EXPECT_EQ(problems(), std::vector<std::string>{
                                  "\"paralelo\" \"" + text +
                                  "\" is not a whole number from 1 to 256: " + in_effect + " in effect"});
    }
#ifndef _WIN32
    Write(good);
    std::filesystem::permissions(Path(), std::filesystem::perms::others_read,
                                 std::filesystem::perm_options::add);
    EXPECT_EQ(problems(),
              std::vector<std::string>{
                  "the settings file is readable by every user, and it holds the server password"});
#endif
}

TEST(SettingsFileReadable, MissingFileIsNotReadable) {
    EXPECT_FALSE(SettingsFileReadable("printer..invalid/config.ini"));
}

TEST(ScheduleTime, ValidOnlyAsTwoDigitHoursSeparatorTwoDigitMinutes) {
    for (const char* valid : {"00:00", "03:00", "23:59", "19:05"}) {
        EXPECT_TRUE(IsValidScheduleTime(valid, ":")) << valid;
    }
    for (const char* invalid :
         {"24:00", "03:60", "3:00", "03:0", "3h", "", "03-00", "0300", "a3:00", "03:0x"}) {
        EXPECT_FALSE(IsValidScheduleTime(invalid, ":")) << invalid;
    }
    EXPECT_TRUE(IsValidScheduleTime("0300", ""));
    EXPECT_TRUE(IsValidScheduleTime("03 h 00", " h "));
    EXPECT_FALSE(IsValidScheduleTime("03:00", " h "));
}

TEST(ParseSettingInteger, HexadecimalAndDecimalForms) {
    EXPECT_EQ(ParseSettingInteger("$FFFFFFFF"), -1);
    EXPECT_EQ(ParseSettingInteger("-$10"), -16);
    EXPECT_EQ(ParseSettingInteger("0x000000000010"), 16); // leading zeros are not significant
    EXPECT_EQ(ParseSettingInteger("$100000000"), std::nullopt);
    EXPECT_EQ(ParseSettingInteger("050"), 50);
    EXPECT_EQ(ParseSettingInteger("   -2147483648"), -2147483648LL);
    EXPECT_EQ(ParseSettingInteger("-2147483649"), std::nullopt);
    EXPECT_EQ(ParseSettingInteger("0x"), std::nullopt);
    EXPECT_EQ(ParseSettingInteger(""), std::nullopt);
    EXPECT_EQ(ParseSettingInteger("12 "), std::nullopt);
    EXPECT_EQ(ParseSettingInteger("1.0"), std::nullopt);
    EXPECT_EQ(ParseSettingInteger("+-1"), std::nullopt);
    EXPECT_EQ(ParseSettingInteger("99999999999999999999"), std::nullopt);
}

} // namespace
} // namespace telva
