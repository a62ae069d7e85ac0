// The rules of the installer package's settings properties. The written values are read back by the settings
// reader (natively ours, under Wine the platform's profile reader), so the quoting holds for both.

#include "installer/settings_properties.h"
#include "site/settings.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

namespace telva {
namespace {

TEST(InstallerSettings, WrittenValuesReadBackUnchanged) {
    test::TempDir dir;
    for (const std::string value :
         {"plain", " leading blank", "trailing tab\t", "\"in quotes\"", "'in single'", "a \"b\" c", "x=y;z",
          " ", "\"", "https://server.example/sub"}) {
        dir.Write("config.ini", "[SERVIDOR]\r\npass=" + ProfileValueText(value) + "\r\n");
        EXPECT_EQ(ReadSettingText(dir.file("config.ini"), kSettingsSection, "pass", "DEFAULT"), value);
    }
    EXPECT_EQ(ProfileValueText("plain"), "plain");
}

TEST(InstallerSettings, ProblemsNameTheProperty) {
    EXPECT_EQ(AssignmentProblem({{"endereco", "a"}, {"pass", std::string(2047, 'p')}}), "");
    EXPECT_EQ(AssignmentProblem({{"pass", "one\r\nendereco=elsewhere"}}),
              "PASS holds a line break, which config.ini cannot keep in a value.");
    // Blanks at the end are kept in quotation marks, which count towards the reader's limit.
    EXPECT_EQ(AssignmentProblem({{"user", std::string(2046, 'u') + " "}}),
              "USER is longer than config.ini keeps (2047 characters).");
    EXPECT_EQ(MissingServerProblem(true, true, "C:\\x\\config.ini"), "");
    const std::string missing = MissingServerProblem(true, false, "C:\\x\\config.ini");
    EXPECT_NE(missing.find("ENDERECO and CONTRATO are needed"), std::string::npos) << missing;
    EXPECT_NE(missing.find("(C:\\x\\config.ini holds no contrato to keep)"), std::string::npos) << missing;
}

TEST(InstallerSettings, ActionDataRoundTripAndDamage) {
    const SettingsWrite write{"C:\\Program Files\\TELVA4Audit\\config.ini",
                              "D:P(A;;FA;;;BA)",
                              std::string("\xff\xfe[\0S\r\n", 7),
                              {{"pass", "\"a=b \""}, {"user", "x"}}};
    const auto decoded = DecodeSettingsWrite(EncodeSettingsWrite(write));
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->path, write.path);
    EXPECT_EQ(decoded->access, write.access);
    EXPECT_EQ(decoded->previous_content, write.previous_content);
    ASSERT_EQ(decoded->assignments.size(), 2u);
    EXPECT_EQ(decoded->assignments[0].value, "\"a=b \"");
    const auto without_file = DecodeSettingsWrite(EncodeSettingsWrite({"p", "", std::nullopt, {}}));
    ASSERT_TRUE(without_file);
    EXPECT_FALSE(without_file->previous_content);
    for (const char* damaged : {"", "p\nd", "p\nd\n=0g", "p\nd\n=abc", "p\nd\n-\nno-equals", "p\nd\n?"}) {
        EXPECT_FALSE(DecodeSettingsWrite(damaged)) << damaged;
    }
}

} // namespace
} // namespace telva
