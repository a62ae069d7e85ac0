#include "console/command_line.h"

#include "platform/unicode.h"

#include <utility>

namespace telva {
namespace {

// What a switch asks for.
enum class Switch { Install, Uninstall, Silent, Help, Version, Check, Json, Timeout, Once };

struct SwitchWord {
    std::string_view word; // lower case, after the "-" or "/"
    Switch which;
    bool takes_value = false; // the word is followed by ":" and the value
};

// Every switch the program knows. A new switch is one more entry here and one more case in
// ChooseProgramCommand.
constexpr SwitchWord kSwitchWords[] = {
    {"install", Switch::Install},
    {"uninstall", Switch::Uninstall},
    {"silent", Switch::Silent},
    {"help", Switch::Help},
    {"?", Switch::Help},
    {"version", Switch::Version},
    {"check", Switch::Check},
    {"json", Switch::Json},
    {"timeout", Switch::Timeout, true},
    {"once", Switch::Once},
};

struct NamedSwitch {
    Switch which;
    std::string_view value; // after the ":" of a switch that takes a value
};

bool HasSwitchMark(std::string_view argument) {
    return !argument.empty() && (argument[0] == '-' || argument[0] == '/');
}

// The switch `argument` names: "-" or "/" and a known word, letter case ignored, or "--help" and "--version"
// (the usual spellings). None for every other argument.
std::optional<NamedSwitch> SwitchOf(std::string_view argument) {
    if (!HasSwitchMark(argument)) {
        return std::nullopt;
    }
    const std::string lower = platform::ToLowerText(argument);
    if (lower == "--help") {
        return NamedSwitch{Switch::Help, {}};
    }
    if (lower == "--version") {
        return NamedSwitch{Switch::Version, {}};
    }
    const std::string_view word = std::string_view(lower).substr(1);
    for (const SwitchWord& known : kSwitchWords) {
        if (!known.takes_value && word == known.word) {
            return NamedSwitch{known.which, {}};
        }
        if (known.takes_value && word.size() > known.word.size() && word.rfind(known.word, 0) == 0 &&
            word[known.word.size()] == ':') {
            return NamedSwitch{known.which, argument.substr(1 + known.word.size() + 1)};
        }
    }
    return std::nullopt;
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

// What is wrong with an argument that names no switch.
std::string NotASwitchText(const std::string& argument) {
    if (HasSwitchMark(argument)) {
        return "unknown switch \"" + argument + "\"";
    }
    return "\"" + argument + "\" is not a switch: a switch begins with \"-\" or \"/\"";
}

} // namespace

bool HasSwitch(const std::vector<std::string>& arguments, std::string_view word) {
    const std::string wanted = platform::ToLowerText(word);
    for (std::size_t i = 1; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (HasSwitchMark(argument) &&
            platform::ToLowerText(std::string_view(argument).substr(1)) == wanted) {
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
        const std::optional<NamedSwitch> named = SwitchOf(argument);
        if (!named) {
            return mistake(NotASwitchText(argument));
        }
        switch (named->which) {
        case Switch::Help:
            help = true;
            break;
        case Switch::Version:
            version = true;
            break;
        case Switch::Check:
            check = true;
            break;
        case Switch::Once:
            once = true;
            break;
        case Switch::Json:
            command.json = true;
            break;
        case Switch::Timeout:
            command.wait_seconds = ParseWaitSeconds(named->value);
            if (!command.wait_seconds) {
                return mistake("\"" + argument + "\": the wait is whole seconds from " +
                               std::to_string(kMinCheckWaitSeconds) + " to " +
                               std::to_string(kMaxCheckWaitSeconds));
            }
            break;
        case Switch::Install:
        case Switch::Uninstall:
        case Switch::Silent:
            break;
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
