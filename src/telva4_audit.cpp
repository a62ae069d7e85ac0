// Program entry: sets the heap up for a long-running service, seeds the scheduler's random generator, creates
// the service object and lets the command line choose between installing, uninstalling and running as the
// service.

#include "main.h"
#include "platform/memory.h"
#include "platform/unicode.h"
#include "service/command_line.h"
#include "service/install.h"
#include "service/scheduler.h"
#include "service/service_host.h"

#include <string>
#include <vector>

namespace {

int RunProgram(const std::vector<std::string>& arguments) {
    telva::platform::PreferReturningMemory();
    telva::SeedRandomDelay();
    telva::TTELVA4Audit service;
    const telva::ProgramCommand command = telva::ChooseProgramCommand(arguments);
    switch (command.Mode) {
    case telva::pmInstall:
        return telva::RunInstallCommand(service, true, command.Silent);
    case telva::pmUninstall:
        return telva::RunInstallCommand(service, false, command.Silent);
    case telva::pmService:
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
