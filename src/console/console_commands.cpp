#include "console/console_commands.h"

#include "build_info.h"
#include "console/check.h"
#include "console/check_report.h"
#include "console/once.h"
#include "platform/console.h"
#include "site/daily_log.h"
#include "site/reading_history_file.h"

namespace telva {
namespace {

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
    DailyLog daily(log_directory, clock);
    // Refused before any request: the run's record would be lost.
    const std::string log_problem = DailyLogProblem(daily);
    if (!log_problem.empty()) {
        platform::WriteError(log_problem + "\n");
        return 2;
    }
    ConsoleEchoLog log(daily, [](std::string_view line) { platform::WriteOut(std::string(line) + "\n"); });
    RunContext context(clock, log);
    // The service's history: the server accepts this upload as one of the service's.
    context.reading_history_path = ReadingHistoryPath();
    // Ctrl+C or a termination request ends the run as a service stop would: the printers read so far are
    // uploaded and the session is closed, the server calls within the stop's budget.
    context.stop_requested = [] {
        return platform::InterruptNoted() ? StopRequest::Stop : StopRequest::None;
    };
    platform::CatchInterrupts(&context.stop_cutoff, kStopServerCallsBudget);
    const int status =
        RunOnce(context, settings_path, [](const std::string& words) { platform::WriteError(words + "\n"); });
    platform::CatchInterrupts(); // the context ends here: an interrupt from now on sets no cut-off
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
