#include "console/console_commands.h"

#include "build_info.h"
#include "console/check.h"
#include "console/check_report.h"
#include "console/once.h"
#include "platform/console.h"
#include "platform/files.h"
#include "site/daily_log.h"

namespace telva {
namespace {

// The daily log of the one-off run, each line also shown at the console as it is written.
class ConsoleEchoLog final : public LogSink {
public:
    explicit ConsoleEchoLog(DailyLog& log) : log_(log) {}
    void Write(std::string_view message) noexcept override {
        log_.Write(message);
        try {
            platform::WriteOut(std::string(message) + "\n");
        } catch (...) {
            // Memory ran out: the line is in the log file all the same.
        }
    }

private:
    DailyLog& log_;
};

int Check(const ProgramCommand& command, Clock& clock, const std::string& settings_path) {
    CheckOptions options;
    options.settings_path = settings_path;
    if (command.wait_seconds) {
        options.wait_seconds = *command.wait_seconds;
    }
    options.interrupted = [] { return platform::InterruptNoted(); };
    platform::CatchInterrupts();
    const CheckReport report = RunCheck(clock, options);
    platform::WriteOut(command.json ? CheckJson(report, VersionLine()) : CheckTable(report));
    return report.ExitStatus();
}

int Once(Clock& clock, const std::string& settings_path, const std::string& log_directory) {
    if (platform::DirectoryOfAnotherUser(log_directory)) {
        platform::WriteError("-ONCE writes the daily log in " + log_directory +
                             ", which belongs to another user: run it as that user (the service's), for "
                             "example with sudo -u telva4-audit\n");
        return 2;
    }
    DailyLog daily(log_directory, clock);
    ConsoleEchoLog log(daily);
    RunContext context(clock, log);
    // Ctrl+C or a termination request ends the run as a service stop would: the printers read so far are
    // uploaded and the session is closed.
    context.stop_requested = [] {
        return platform::InterruptNoted() ? StopRequest::Stop : StopRequest::None;
    };
    platform::CatchInterrupts();
    std::string problem;
    const int status = RunOnce(context, settings_path, problem);
    if (!problem.empty()) {
        platform::WriteError("Settings: " + problem + "\n");
    }
    return status;
}

} // namespace

std::string UsageText() {
    return "Usage: telva4_audit [switch]\n"
           "\n"
           "Without a switch the program runs as the service (the service manager starts it so).\n"
           "\n"
           "  -CHECK [-JSON] [-TIMEOUT:<seconds>]\n"
           "        Checks the installation: shows the settings in effect, logs in, fetches the printer\n"
           "        list, reads every printer's six counters, logs out. Uploads nothing and writes nothing\n"
           "        to the daily log. -JSON prints one JSON document instead of the table; -TIMEOUT sets\n"
           "        the wait for each answer (1 to 60 seconds; 10 by default, as the service waits).\n"
           "  -ONCE\n"
           "        Runs one audit now, exactly as the service does (upload and daily log included).\n"
           "  -INSTALL [-SILENT]    Registers the service to start with the machine.\n"
           "  -UNINSTALL [-SILENT]  Removes the registration.\n"
           "  -VERSION              Prints the version.\n"
           "  -HELP, -?             Prints this text.\n"
           "\n"
           "Switches begin with \"-\" or \"/\", in any letter case. The settings are read from config.ini\n"
           "beside the program.\n"
           "\n"
           "Exit status of -CHECK and -ONCE: 0 every printer read, 1 some printers not read, 2 the "
           "settings,\n"
           "the server or the login failed. A mistaken command line gives 2.\n";
}

int RunConsoleCommand(const ProgramCommand& command, Clock& clock, const std::string& settings_path,
                      const std::string& log_directory) {
    platform::PrepareConsoleOutput();
    switch (command.mode) {
    case ProgramMode::Help:
        platform::WriteOut(UsageText());
        return 0;
    case ProgramMode::Version:
        platform::WriteOut(VersionLine() + "\n");
        return 0;
    case ProgramMode::Check:
        return Check(command, clock, settings_path);
    case ProgramMode::Once:
        return Once(clock, settings_path, log_directory);
    case ProgramMode::Mistake:
    case ProgramMode::Service:
    case ProgramMode::Install:
    case ProgramMode::Uninstall:
        break;
    }
    platform::WriteError("telva4_audit: " + command.mistake + "\n\n" + UsageText());
    return 2;
}

} // namespace telva
