#include "console/command_line.h"

#include "platform/unicode.h"

namespace telva {
namespace {

bool IsSwitchArgument(const std::string& argument) {
    return !argument.empty() && (argument[0] == '-' || argument[0] == '/');
}

// Whole seconds within the check's bounds, digits only.
std::optional<int> ParseWaitSeconds(std::string_view text) {
    if (text.empty() || text.size() > 2) {
        return std::nullopt;
    }
    int value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        value = value * 10 + (c - '0');
    }
    if (value < kMinCheckWaitSeconds || value > kMaxCheckWaitSeconds) {
        return std::nullopt;
    }
    return value;
}

constexpr std::string_view kTimeoutPrefix = "timeout:";

} // namespace

bool HasSwitch(const std::vector<std::string>& arguments, std::string_view word) {
    const std::string wanted = platform::ToLowerText(word);
    for (std::size_t i = 1; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (!IsSwitchArgument(argument)) {
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
    command.silent = HasSwitch(arguments, "SILENT");
    if (HasSwitch(arguments, "INSTALL")) {
        command.mode = ProgramMode::Install;
        return command;
    }
    if (HasSwitch(arguments, "UNINSTALL")) {
        command.mode = ProgramMode::Uninstall;
        return command;
    }
    bool help = false;
    bool version = false;
    bool check = false;
    bool once = false;
    const auto mistake = [&command](std::string text) {
        command.mode = ProgramMode::Mistake;
        command.mistake = std::move(text);
        return command;
    };
    for (std::size_t i = 1; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (!IsSwitchArgument(argument)) {
            continue;
        }
        const std::string lower = platform::ToLowerText(argument);
        const std::string word = lower.substr(1);
        if (lower == "--help" || word == "help" || word == "?") {
            help = true;
        } else if (lower == "--version" || word == "version") {
            version = true;
        } else if (word == "check") {
            check = true;
        } else if (word == "once") {
            once = true;
        } else if (word == "json") {
            command.json = true;
        } else if (word.rfind(kTimeoutPrefix, 0) == 0) {
            command.wait_seconds = ParseWaitSeconds(std::string_view(word).substr(kTimeoutPrefix.size()));
            if (!command.wait_seconds) {
                return mistake("\"" + argument + "\": the wait is whole seconds from " +
                               std::to_string(kMinCheckWaitSeconds) + " to " +
                               std::to_string(kMaxCheckWaitSeconds));
            }
        } else if (word != "silent") {
            return mistake("unknown switch \"" + argument + "\"");
        }
    }
    if ((command.json || command.wait_seconds) && !check) {
        return mistake("-JSON and -TIMEOUT go with -CHECK only");
    }
    if (check && once) {
        return mistake("-CHECK and -ONCE cannot be given together");
    }
    if (help) {
        command.mode = ProgramMode::Help;
    } else if (version) {
        command.mode = ProgramMode::Version;
    } else if (check) {
        command.mode = ProgramMode::Check;
    } else if (once) {
        command.mode = ProgramMode::Once;
    }
    return command;
}

} // namespace telva
