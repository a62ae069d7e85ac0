#pragma once
// The switches of the command line: "-" or "/" followed by the word, letter case ignored. The bare word,
// a doubled minus sign or anything after the word makes it no switch.

#include <string>
#include <string_view>
#include <vector>

namespace telva {

enum class ProgramMode { Service, Install, Uninstall };

struct ProgramCommand {
    ProgramMode mode = ProgramMode::Service;
    bool silent = false;
};

// True when an argument after the program name (arguments[0]) is the switch `word`.
bool HasSwitch(const std::vector<std::string>& arguments, std::string_view word);

// "INSTALL" is looked for first, then "UNINSTALL"; "SILENT" may stand anywhere.
ProgramCommand ChooseProgramCommand(const std::vector<std::string>& arguments);

} // namespace telva
