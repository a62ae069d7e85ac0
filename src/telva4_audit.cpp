// Program entry: the command line chooses between the console's commands (usage, version, the check of an
// installation, a one-off audit), installing, uninstalling and running as the service (a line without
// arguments; started so by hand on Windows, the program says how it is meant to be used). For the service it
// sets the heap up for a long-running process, seeds the scheduler's random generator, and creates the run
// context and the service object.

#include "audit_service.h"
#include "clock.h"
#include "console/command_line.h"
#include "console/console_commands.h"
#include "platform/console.h"
#include "platform/memory.h"
#include "platform/unicode.h"
#include "service/install.h"
#include "service/service_host.h"
#include "site/daily_log.h"
#include "site/reading_history_file.h"
#include "site/settings.h"

#include <string>
#include <vector>

namespace {

constexpr const char* kStartedByHandText =
    "This program runs as a Windows service; use /CHECK, /ONCE or /INSTALL";

int RunProgram(const std::vector<std::string>& arguments) {
    const telva::ProgramCommand command = telva::ChooseProgramCommand(arguments);
    telva::Clock& clock = telva::SystemClock();
    switch (command.mode) {
    case telva::ProgramMode::Help:
    case telva::ProgramMode::Version:
    case telva::ProgramMode::Check:
    case telva::ProgramMode::Once:
    case telva::ProgramMode::Mistake:
        return telva::RunConsoleCommand(command, clock, telva::SettingsFilePath(),
                                        telva::DefaultLogDirectory());
    case telva::ProgramMode::Service:
    case telva::ProgramMode::Install:
    case telva::ProgramMode::Uninstall:
        break;
    }
    telva::platform::PreferReturningMemory();
    telva::SeedRandomDelay();
    telva::DailyLog log(telva::DefaultLogDirectory(), clock);
    telva::RunContext context(clock, log);
    context.reading_history_path = telva::ReadingHistoryPath();
    telva::AuditService service(context, telva::SettingsFilePath());
    switch (command.mode) {
    case telva::ProgramMode::Install:
        return telva::RunInstallCommand(service, true, command.silent);
    case telva::ProgramMode::Uninstall:
        return telva::RunInstallCommand(service, false, command.silent);
    default:
        break;
    }
    if (telva::RunServiceProcess(service) == telva::ServiceProcessEnd::NotStartedByServiceManager) {
        // Someone started the program by hand (the event log has the system's words for it too).
        telva::platform::PrepareConsoleOutput();
        telva::platform::WriteError(std::string(kStartedByHandText) + "\n\n" + telva::UsageText());
        return 1;
    }
    return 0;
}

} // namespace

#ifdef _WIN32
int wmain(int count, wchar_t** values) {
    std::vector<std::string> arguments;
    for (int i = 0; i < count; ++i) {
        arguments.push_back(telva::platform::Utf16ToUtf8(reinterpret_cast<const char16_t*>(values[i])));
    }
    return RunProgram(arguments);
}
#else
int main(int count, char** values) {
    return RunProgram(std::vector<std::string>(values, values + count));
}
#endif
