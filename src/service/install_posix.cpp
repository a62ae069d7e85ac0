// POSIX installation: a systemd unit instead of the service manager's registration; the message texts go
// to stdout (success) or stderr (failure).

#include "service/install_posix.h"

#include "platform/exe_path.h"
#include "service/install.h"
#include "service/service.h"
#include "service/system_error.h"
#include "service/systemd_unit.h"
#include "site/settings.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <initializer_list>
#include <pwd.h>
#include <string_view>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace telva {
namespace {

constexpr auto kSystemctlTimeout = std::chrono::seconds(60);

// Runs the program (systemctl, useradd) with the arguments, its output on ours unless `quiet`; its exit
// status, or -1 when it could not run or did not end in time (then it is killed).
int RunTool(const std::string& program, const std::vector<std::string>& arguments, bool quiet) {
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    const pid_t child = fork();
    if (child < 0) {
        return -1;
    }
    if (child == 0) {
        const int null_input = open("/dev/null", O_RDONLY);
        if (null_input >= 0) {
            dup2(null_input, STDIN_FILENO);
        }
        if (quiet) {
            const int null_output = open("/dev/null", O_WRONLY);
            if (null_output >= 0) {
                dup2(null_output, STDOUT_FILENO);
                dup2(null_output, STDERR_FILENO);
            }
        }
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    const auto deadline = std::chrono::steady_clock::now() + kSystemctlTimeout;
    for (;;) {
        int status = 0;
        const pid_t done = waitpid(child, &status, WNOHANG);
        if (done == child) {
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        if (done < 0 && errno != EINTR) {
            return -1;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            kill(child, SIGKILL);
            waitpid(child, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

std::string SystemctlFailure(const std::string& command, int status) {
    return "systemctl " + command + " ended with status " + std::to_string(status);
}

// The unit directory must be writable: the counterpart of opening the service manager with full access.
void OpenUnitDirectory(const std::string& directory) {
    if (access(directory.c_str(), W_OK | X_OK) != 0) {
        throw SystemCallError(static_cast<std::uint32_t>(errno));
    }
}

std::string FailedCallText(int error) {
    const auto code = static_cast<std::uint32_t>(error);
    return SystemCallErrorText(code, SystemErrorText(code));
}

// Creates the unit file; empty on success, else the error text.
std::string WriteUnitFile(const std::string& path, const std::string& text) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) {
        return FailedCallText(errno);
    }
    std::string_view rest = text;
    while (!rest.empty()) {
        const ssize_t written = write(fd, rest.data(), rest.size());
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            const int error = errno;
            close(fd);
            unlink(path.c_str());
            return FailedCallText(error);
        }
        rest.remove_prefix(static_cast<std::size_t>(written));
    }
    if (fsync(fd) != 0 || close(fd) != 0) {
        const int error = errno;
        unlink(path.c_str());
        return FailedCallText(error);
    }
    return {};
}

std::string FindProgram(std::initializer_list<const char*> candidates) {
    for (const char* candidate : candidates) {
        if (access(candidate, X_OK) == 0) {
            return candidate;
        }
    }
    return {};
}

// The service's system user, created when missing (no home, no login shell, a group of the same name);
// empty on success, else the failure text.
std::string EnsureServiceUser(const UnitInstallTarget& target, bool silent) {
    if (target.account.empty() || getpwnam(target.account.c_str()) != nullptr) {
        return {};
    }
    if (target.useradd.empty()) {
        return "the user " + target.account + " does not exist and useradd was not found";
    }
    const int status = RunTool(target.useradd,
                               {"--system", "--user-group", "--no-create-home", "--home-dir", "/nonexistent",
                                "--shell", "/usr/sbin/nologin", target.account},
                               silent);
    if (status != 0) {
        return "useradd " + target.account + " ended with status " + std::to_string(status);
    }
    return {};
}

// The settings file holds the server password: root's, readable by the service's group only. Empty on
// success or when there is no file yet, else the failure text.
std::string RestrictSettingsFile(const UnitInstallTarget& target) {
    if (target.settings_path.empty() || target.account.empty() ||
        access(target.settings_path.c_str(), F_OK) != 0) {
        return {};
    }
    const passwd* user = getpwnam(target.account.c_str());
    if (user == nullptr) {
        return "the user " + target.account + " does not exist";
    }
    if (chown(target.settings_path.c_str(), 0, user->pw_gid) != 0 ||
        chmod(target.settings_path.c_str(), 0640) != 0) {
        return FailedCallText(errno);
    }
    return {};
}

} // namespace

void ShowMessage(const std::string& text, MessageKind kind, const std::string& caption) {
    std::FILE* stream = kind == MessageKind::Error ? stderr : stdout;
    if (caption == "Application Error") {
        std::fprintf(stream, "%s: %s\n", caption.c_str(), text.c_str());
    } else {
        std::fprintf(stream, "%s\n", text.c_str());
    }
    std::fflush(stream);
}

UnitInstallTarget SystemUnitTarget() {
    UnitInstallTarget target;
    target.unit_directory = "/etc/systemd/system/";
    target.executable_path = platform::ExecutablePath();
    target.systemctl = FindProgram({"/usr/bin/systemctl", "/bin/systemctl"});
    target.account = kServiceUser;
    target.useradd = FindProgram({"/usr/sbin/useradd", "/sbin/useradd"});
    target.settings_path = SettingsFilePath();
    struct stat info {};
    target.systemd_running = stat("/run/systemd/system", &info) == 0 && S_ISDIR(info.st_mode);
    return target;
}

bool InstallServiceUnit(const Service& service, const UnitInstallTarget& target, bool silent) {
    OpenUnitDirectory(target.unit_directory);
    const std::string unit = SystemdUnitFileName(service.name);
    std::string failure = EnsureServiceUser(target, silent);
    if (failure.empty()) {
        failure = RestrictSettingsFile(target);
    }
    if (failure.empty()) {
        failure = WriteUnitFile(target.unit_directory + unit,
                                SystemdUnitText(target.executable_path, service.display_name));
    }
    if (failure.empty() && !target.systemctl.empty()) {
        if (target.systemd_running) {
            // A failed reload leaves the manager unaware of the unit until the next boot; enable still
            // counts.
            RunTool(target.systemctl, {"daemon-reload"}, silent);
        }
        if (const int status = RunTool(target.systemctl, {"enable", unit}, silent); status != 0) {
            failure = SystemctlFailure("enable " + unit, status);
        }
    }
    if (!failure.empty()) {
        ShowMessage(InstallFailedText(service.display_name, failure), MessageKind::Error,
                    service.display_name);
    } else if (!silent) {
        ShowMessage(kInstalledText, MessageKind::Information, service.display_name);
    }
    return failure.empty();
}

bool UninstallServiceUnit(const Service& service, const UnitInstallTarget& target, bool silent) {
    OpenUnitDirectory(target.unit_directory);
    const std::string unit = SystemdUnitFileName(service.name);
    const std::string path = target.unit_directory + unit;
    std::string failure;
    if (access(path.c_str(), F_OK) != 0) {
        failure = FailedCallText(errno);
    } else if (!target.systemctl.empty()) {
        if (const int status = RunTool(target.systemctl, {"disable", unit}, silent); status != 0) {
            failure = SystemctlFailure("disable " + unit, status);
        }
    }
    if (failure.empty() && unlink(path.c_str()) != 0) {
        failure = FailedCallText(errno);
    }
    if (failure.empty() && !target.systemctl.empty() && target.systemd_running) {
        RunTool(target.systemctl, {"daemon-reload"}, silent);
    }
    if (!failure.empty()) {
        ShowMessage(UninstallFailedText(service.display_name, failure), MessageKind::Error,
                    service.display_name);
    } else if (!silent) {
        ShowMessage(kUninstalledText, MessageKind::Information, service.display_name);
    }
    return failure.empty();
}

bool InstallService(const Service& service, bool silent) {
    return InstallServiceUnit(service, SystemUnitTarget(), silent);
}

bool UninstallService(const Service& service, bool silent) {
    return UninstallServiceUnit(service, SystemUnitTarget(), silent);
}

} // namespace telva
