// Program entry: sets the heap up for a long-running service, seeds the scheduler's random generator, creates
// the run context and the service object, and lets the command line choose between installing, uninstalling
// and running as the service.

#include "audit_service.h"
#include "clock.h"
#include "platform/memory.h"
#include "platform/unicode.h"
#include "service/command_line.h"
#include "service/install.h"
#include "service/service_host.h"
#include "site/daily_log.h"
#include "site/settings.h"

#include <string>
#include <vector>

namespace {

int RunProgram(const std::vector<std::string>& arguments) {
    telva::platform::PreferReturningMemory();
    telva::SeedRandomDelay();
    telva::Clock& clock = telva::SystemClock();
    telva::DailyLog log(telva::DefaultLogDirectory(), clock);
    telva::RunContext context(clock, log);
    telva::AuditService service(context, telva::SettingsFilePath());
    const telva::ProgramCommand command = telva::ChooseProgramCommand(arguments);
    switch (command.mode) {
    case telva::ProgramMode::Install:
        return telva::RunInstallCommand(service, true, command.silent);
    case telva::ProgramMode::Uninstall:
        return telva::RunInstallCommand(service, false, command.silent);
    case telva::ProgramMode::Service:
        break;
    }
    return telva::RunServiceProcess(service);
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
