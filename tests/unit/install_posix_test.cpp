// The POSIX installation into a unit directory of the test's own, and the unit as systemd reads it.
#ifndef _WIN32

#include "support/fake_service_binding.h"

#include "platform/files.h"
#include "platform/state_files.h"
#include "service/install_posix.h"
#include "service/system_error.h"
#include "service/systemd_unit.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace telva {
namespace {

using test::FakeServiceBinding;
using test::TestService;

class UnitInstall : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/telva_unit_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        directory_ = pattern;
        target_.unit_directory = directory_ + "/";
        target_.executable_path = "/opt/telva4-audit/telva4_audit";
    }
    void TearDown() override { std::filesystem::remove_all(directory_); }

    std::string UnitPath() const { return target_.unit_directory + "TELVA4Audit.service"; }

    FakeServiceBinding binding_;
    TestService service_{binding_};
    std::string directory_;
    UnitInstallTarget target_;
};

TEST_F(UnitInstall, InstallWritesTheUnitAndASecondInstallFails) {
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    EXPECT_TRUE(InstallServiceUnit(service_, target_, false));
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Service installed successfully\n");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(platform::ReadWholeFile(UnitPath()), SystemdUnitText(target_.executable_path, "Test display"));

    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(InstallServiceUnit(service_, target_, true)); // the failure is shown also when silent
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "Service \"Test display\" failed to install with error: \"System Error.  Code: 17.\r\n" +
                  SystemErrorText(17) + "\"\n");
}

TEST_F(UnitInstall, UninstallRemovesTheUnitAndFailsWhenThereIsNone) {
    ::testing::internal::CaptureStdout();
    EXPECT_TRUE(InstallServiceUnit(service_, target_, true));
    EXPECT_TRUE(UninstallServiceUnit(service_, target_, true));
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), ""); // silent success shows nothing
    EXPECT_FALSE(platform::FileExists(UnitPath()));

    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(UninstallServiceUnit(service_, target_, false));
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "Service \"Test display\" failed to uninstall with error: \"System Error.  Code: 2.\r\n" +
                  SystemErrorText(2) + "\"\n");
}

TEST_F(UnitInstall, UnopenableUnitDirectoryRaisesTheSystemError) {
    target_.unit_directory = directory_ + "/missing/";
    try {
        InstallServiceUnit(service_, target_, true);
        FAIL() << "no error raised";
    } catch (const SystemCallError& error) {
        EXPECT_EQ(error.Code(), 2u);
        EXPECT_EQ(std::string(error.what()), "System Error.  Code: 2.\r\n" + SystemErrorText(2));
    }
}

TEST_F(UnitInstall, SilentKeepsSystemctlQuietButNotItsFailure) {
    // A stand-in systemctl that talks on both streams, as the real one does when it creates the link.
    const std::string program = directory_ + "/systemctl";
    std::ofstream(program) << "#!/bin/sh\necho \"Created symlink $2\"\necho warning >&2\n";
    std::filesystem::permissions(program, std::filesystem::perms::owner_all);
    target_.systemctl = program;
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    EXPECT_TRUE(InstallServiceUnit(service_, target_, true));
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    EXPECT_TRUE(UninstallServiceUnit(service_, target_, false));
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "Created symlink TELVA4Audit.service\nService uninstalled successfully\n");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "warning\n");
}

TEST_F(UnitInstall, EnableFailureIsAnInstallFailure) {
    target_.systemctl = "/bin/false";
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(InstallServiceUnit(service_, target_, false));
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "Service \"Test display\" failed to install with error: \"systemctl enable TELVA4Audit.service "
              "ended with status 1\"\n");
}

// The service's user: created when missing (a failed creation is an install failure and writes no unit),
// left alone when present; the settings file, which holds the password, becomes root's and the user
// group's only.
TEST_F(UnitInstall, ServiceUserIsCreatedWhenMissingAndTheSettingsFileRestricted) {
    const std::string useradd = directory_ + "/useradd";
    std::ofstream(useradd) << "#!/bin/sh\necho \"$@\" >>" << directory_ << "/useradd.txt\nexit 9\n";
    std::filesystem::permissions(useradd, std::filesystem::perms::owner_all);
    target_.useradd = useradd;
    target_.account = "telva-absent-account-for-tests";
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(InstallServiceUnit(service_, target_, true));
    EXPECT_EQ(
        ::testing::internal::GetCapturedStderr(),
        "Service \"Test display\" failed to install with error: \"useradd telva-absent-account-for-tests "
        "ended with status 9\"\n");
    EXPECT_EQ(platform::ReadWholeFile(directory_ + "/useradd.txt"),
              "--system --user-group --no-create-home --home-dir /nonexistent --shell /usr/sbin/nologin "
              "telva-absent-account-for-tests\n");
    EXPECT_FALSE(platform::FileExists(UnitPath()));

    if (geteuid() != 0) {
        GTEST_SKIP() << "giving the settings file to root and another group needs root";
    }
    const passwd* nobody = getpwnam("nobody");
    ASSERT_NE(nobody, nullptr);
    target_.account = "nobody"; // exists: useradd is not run
    target_.settings_path = directory_ + "/config.ini";
    std::ofstream(target_.settings_path) << "[SERVIDOR]\npass=secret\n";
    std::filesystem::permissions(target_.settings_path, std::filesystem::perms(0644));
    EXPECT_TRUE(InstallServiceUnit(service_, target_, true));
    struct stat info {};
    ASSERT_EQ(stat(target_.settings_path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0640u);
    EXPECT_EQ(info.st_uid, 0u);
    EXPECT_EQ(info.st_gid, nobody->pw_gid);
    EXPECT_EQ(platform::ReadWholeFile(directory_ + "/useradd.txt").value_or("").find("nobody"),
              std::string::npos);
    EXPECT_TRUE(platform::FileExists(UnitPath()));
}

TEST_F(UnitInstall, SystemdAcceptsTheUnit) {
    if (std::system("command -v systemd-analyze >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "systemd-analyze is not installed";
    }
    target_.executable_path = "/bin/true"; // verify wants an existing program
    ::testing::internal::CaptureStdout();
    InstallServiceUnit(service_, target_, true);
    ::testing::internal::GetCapturedStdout();
    const std::string command =
        "systemd-analyze verify " + UnitPath() + " >" + directory_ + "/verify.txt 2>&1";
    const int status = std::system(command.c_str());
    const auto output = platform::ReadWholeFile(directory_ + "/verify.txt");
    EXPECT_EQ(status, 0) << output.value_or("");
}

TEST(SystemdUnitText, HoldsTheRegistrationValues) {
    EXPECT_EQ(SystemdUnitText("/opt/telva4-audit/telva4_audit", "TELVA Audit Life Count Manager"),
              "[Unit]\n"
              "Description=TELVA Audit Life Count Manager\n"
              "Wants=network-online.target\n"
              "After=network-online.target\n"
              "\n"
              "[Service]\n"
              "User=telva4-audit\n"
              "Group=telva4-audit\n"
              "LogsDirectory=telva4-audit\n"
              "LogsDirectoryMode=0750\n"
              "StateDirectory=telva4-audit\n"
              "StateDirectoryMode=0750\n"
              "UMask=0027\n"
              "AmbientCapabilities=CAP_NET_BIND_SERVICE\n"
              "CapabilityBoundingSet=CAP_NET_BIND_SERVICE\n"
              "NoNewPrivileges=yes\n"
              "ProtectSystem=strict\n"
              "ProtectHome=yes\n"
              "PrivateTmp=yes\n"
              "PrivateDevices=yes\n"
              "DevicePolicy=closed\n"
              "PrivateMounts=yes\n"
              "ProtectKernelTunables=yes\n"
              "ProtectKernelModules=yes\n"
              "ProtectKernelLogs=yes\n"
              "ProtectControlGroups=yes\n"
              "ProtectClock=yes\n"
              "ProtectHostname=yes\n"
              "ProtectProc=invisible\n"
              "ProcSubset=pid\n"
              "RestrictAddressFamilies=AF_INET AF_INET6 AF_UNIX AF_NETLINK\n"
              "RestrictNamespaces=yes\n"
              "LockPersonality=yes\n"
              "MemoryDenyWriteExecute=yes\n"
              "RestrictRealtime=yes\n"
              "RestrictSUIDSGID=yes\n"
              "RemoveIPC=yes\n"
              "KeyringMode=private\n"
              "SystemCallArchitectures=native\n"
              "SystemCallFilter=@system-service\n"
              "SystemCallFilter=~@privileged @resources\n"
              "SystemCallErrorNumber=EPERM\n"
              "Type=notify\n"
              "ExecStart=/opt/telva4-audit/telva4_audit\n"
              "TimeoutStopSec=30s\n"
              "\n"
              "[Install]\n"
              "WantedBy=multi-user.target\n");
}

// The program writes its daily log and its reading history where the unit's LogsDirectory= and
// StateDirectory= put the directories.
TEST(SystemdUnitText, LogAndStateDirectoriesAreTheProgramsOwn) {
    const std::string unit = SystemdUnitText("/opt/telva4-audit/telva4_audit", "x");
    const auto value = [&unit](const std::string& key) {
        const auto at = unit.find("\n" + key + "=");
        return at == std::string::npos
                   ? std::string("(none)")
                   : unit.substr(at + key.size() + 2, unit.find('\n', at + 1) - at - key.size() - 2);
    };
    EXPECT_EQ(platform::DefaultLogDirectory(), "/var/log/" + value("LogsDirectory") + "/");
    EXPECT_EQ(platform::DefaultStateDirectory(), "/var/lib/" + value("StateDirectory") + "/");
}

// packaging/TELVA4Audit.service is what scripts/unit-exposure rates; the .deb ships no unit of its own but
// runs "-install" from /opt/telva4-audit, so this is the unit a package installation gets.
TEST(SystemdUnitText, UnitFileInPackagingIsTheOneInstallWrites) {
    EXPECT_EQ(platform::ReadWholeFile(TELVA_SOURCE_DIR "/packaging/TELVA4Audit.service"),
              SystemdUnitText("/opt/telva4-audit/telva4_audit", "TELVA Audit Life Count Manager"));
}

} // namespace
} // namespace telva

#endif
