#include "service/command_line.h"

#include "platform/unicode.h"

namespace telva {

bool HasSwitch(const std::vector<std::string>& arguments, std::string_view word) {
    const std::string wanted = platform::ToLowerText(word);
    for (std::size_t i = 1; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (argument.empty() || (argument[0] != '-' && argument[0] != '/')) {
            continue;
        }
        if (platform::ToLowerText(std::string_view(argument).substr(1)) == wanted) {
            return true;
        }
    }
    return false;
}

ProgramCommand ChooseProgramCommand(const std::vector<std::string>& arguments) {
    ProgramCommand command;
    if (HasSwitch(arguments, "INSTALL")) {
        command.mode = ProgramMode::Install;
    } else if (HasSwitch(arguments, "UNINSTALL")) {
        command.mode = ProgramMode::Uninstall;
    }
    command.silent = HasSwitch(arguments, "SILENT");
    return command;
}

} // namespace telva
