#include "service/command_line.h"
#include "service/install.h"
#include "service/system_error.h"
#include "service/systemd_unit.h"

#include <gtest/gtest.h>

namespace telva {
namespace {

ProgramCommand Choose(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), "telva4_audit.exe");
    return ChooseProgramCommand(arguments);
}

TEST(CommandLine, SwitchesTakeMinusOrSlashAndIgnoreCase) {
    EXPECT_EQ(Choose({"/INSTALL"}).mode, ProgramMode::Install);
    EXPECT_EQ(Choose({"-install"}).mode, ProgramMode::Install);
    EXPECT_EQ(Choose({"/Uninstall"}).mode, ProgramMode::Uninstall);
    EXPECT_EQ(Choose({}).mode, ProgramMode::Service);
}

TEST(CommandLine, BareWordDoubleMinusOrTrailingTextIsNoSwitch) {
    EXPECT_EQ(Choose({"install"}).mode, ProgramMode::Service);
    EXPECT_EQ(Choose({"--install"}).mode, ProgramMode::Service);
    EXPECT_EQ(Choose({"/installx"}).mode, ProgramMode::Service);
    EXPECT_EQ(Choose({"/install "}).mode, ProgramMode::Service);
    EXPECT_EQ(Choose({"/"}).mode, ProgramMode::Service);
    EXPECT_EQ(Choose({""}).mode, ProgramMode::Service);
}

TEST(CommandLine, InstallIsLookedForFirstAndSilentMayStandAnywhere) {
    EXPECT_EQ(Choose({"/uninstall", "/install"}).mode, ProgramMode::Install);
    const ProgramCommand silent_first = Choose({"-SILENT", "/uninstall"});
    EXPECT_EQ(silent_first.mode, ProgramMode::Uninstall);
    EXPECT_TRUE(silent_first.silent);
    EXPECT_TRUE(Choose({"/install", "/silent"}).silent);
    EXPECT_FALSE(Choose({"/install", "silent"}).silent);
    // The program name is not an argument.
    EXPECT_EQ(ChooseProgramCommand({"/install"}).mode, ProgramMode::Service);
}

TEST(InstallMessages, FailureTextsCarryTheDisplayNameAndTheSystemError) {
    const std::string error = SystemCallErrorText(1073, "The specified service already exists");
    EXPECT_EQ(error, "System Error.  Code: 1073.\r\nThe specified service already exists");
    EXPECT_EQ(
        InstallFailedText("TELVA Audit Life Count Manager", error),
        "Service \"TELVA Audit Life Count Manager\" failed to install with error: \"System Error.  Code: "
        "1073.\r\nThe specified service already exists\"");
    EXPECT_EQ(UninstallFailedText("D", "E"), "Service \"D\" failed to uninstall with error: \"E\"");
}

TEST(SystemErrorText, TrailingBlanksControlsAndFullStopsAreRemoved) {
    EXPECT_EQ(TrimSystemErrorText("Access is denied.\r\n"), "Access is denied");
    EXPECT_EQ(TrimSystemErrorText("a. . \t.."), "a");
    EXPECT_EQ(TrimSystemErrorText("e.g. inside stays"), "e.g. inside stays");
    EXPECT_EQ(TrimSystemErrorText("...\r\n"), "");
    EXPECT_FALSE(SystemErrorText(5).empty());
    EXPECT_NE(SystemErrorText(5).back(), '.');
}

TEST(SystemdUnit, PathIsOneExecStartWord) {
    EXPECT_EQ(SystemdExecPath("/opt/telva4-audit/telva4_audit"), "/opt/telva4-audit/telva4_audit");
    EXPECT_EQ(SystemdExecPath("/opt/my dir/100%/a"), "\"/opt/my dir/100%%/a\"");
    EXPECT_EQ(SystemdExecPath("/x/a\"b"), "\"/x/a\\\"b\"");
    EXPECT_EQ(SystemdUnitFileName("TELVA4Audit"), "TELVA4Audit.service");
}

} // namespace
} // namespace telva
