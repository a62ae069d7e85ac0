#include "console/command_line.h"
#include "console/console_commands.h"
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

TEST(CommandLine, EveryArgumentThatIsNoSwitchOfTheProgramIsAMistake) {
    // Bare words, words after another dash (en dash, em dash, minus sign), a doubled minus sign, anything
    // after the word: a mistake that is shown, instead of a service run nobody asked for.
    const std::string en_dash = "\xE2\x80\x93";
    const std::string em_dash = "\xE2\x80\x94";
    const std::string minus_sign = "\xE2\x88\x92";
    for (const std::string& argument : std::vector<std::string>{
             "install", "check", "", en_dash + "check", em_dash + "once", minus_sign + "check", "--install",
             "/installx", "/install ", "/", "-", "--check", "-bogus", "-timeout"}) {
        const ProgramCommand command = Choose({argument});
        EXPECT_EQ(command.mode, ProgramMode::Mistake) << argument;
        EXPECT_NE(command.mistake.find('"' + argument + '"'), std::string::npos) << command.mistake;
    }
    EXPECT_EQ(Choose({"-check", "now", "-bogus"}).mistake,
              "\"now\" is not a switch: a switch begins with \"-\" or \"/\"");
    EXPECT_EQ(Choose({"-ONCE", "-Bogus"}).mistake, "unknown switch \"-Bogus\"");
    // Only a line without arguments, or with SILENT alone, runs the service.
    EXPECT_EQ(Choose({}).mode, ProgramMode::Service);
    EXPECT_EQ(Choose({"-silent"}).mode, ProgramMode::Service);
    // Installing keeps its precedence over everything else on the line.
    EXPECT_EQ(Choose({"-bogus", "/install"}).mode, ProgramMode::Install);
}

TEST(CommandLine, ConsoleCommandsAndTheirCompanions) {
    for (const char* argument : {"-help", "/HELP", "/?", "-?", "--help", "--HELP"}) {
        EXPECT_EQ(Choose({argument}).mode, ProgramMode::Help) << argument;
    }
    EXPECT_EQ(Choose({"/Version"}).mode, ProgramMode::Version);
    EXPECT_EQ(Choose({"--version"}).mode, ProgramMode::Version);
    EXPECT_EQ(Choose({"-once"}).mode, ProgramMode::Once);

    const ProgramCommand check = Choose({"/CHECK", "-json", "/Timeout:3"});
    EXPECT_EQ(check.mode, ProgramMode::Check);
    EXPECT_TRUE(check.json);
    EXPECT_EQ(check.wait_seconds, 3);
    EXPECT_FALSE(Choose({"-check"}).wait_seconds);
    EXPECT_EQ(Choose({"-check", "-timeout:60"}).wait_seconds, 60);
    // Help wins over the other console commands, a mistake over help.
    EXPECT_EQ(Choose({"-check", "-help"}).mode, ProgramMode::Help);
    EXPECT_EQ(Choose({"-help", "-bogus"}).mode, ProgramMode::Mistake);

    for (const std::vector<std::string>& line :
         std::vector<std::vector<std::string>>{{"-check", "-timeout:0"},
                                               {"-check", "-timeout:61"},
                                               {"-check", "-timeout:"},
                                               {"-check", "-timeout"},
                                               {"-check", "-timeout:1.5"},
                                               {"-check", "-timeout:-1"},
                                               {"-check", "-timeout:007"},
                                               {"-json"},
                                               {"-timeout:5"},
                                               {"-once", "-json"},
                                               {"-check", "-once"}}) {
        EXPECT_EQ(Choose(line).mode, ProgramMode::Mistake) << line.back();
    }
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
