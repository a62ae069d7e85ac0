#pragma once
// The switches of the command line: "-" or "/" followed by the word, letter case ignored ("--help" and
// "--version" are taken too, as the usual spellings). The command line holds switches only: any other
// argument (a bare word, a word after another kind of dash, a word with anything after it) is an error, so
// that nothing the user did not ask for starts; only a line without arguments runs the service.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace telva {

enum class ProgramMode {
    Service,   // no argument (or "SILENT" alone): run as the service
    Install,   // register the service
    Uninstall, // remove the registration
    Help,      // print the usage
    Version,   // print the version
    Check,     // the technician's dry run: read every printer, upload nothing
    Once,      // one audit in the foreground, exactly as the service runs it
    Mistake,   // an argument that is no switch of the program, or switches that do not go together
};

// The per-query wait a check may be given, in seconds.
inline constexpr int kMinCheckWaitSeconds = 1;
inline constexpr int kMaxCheckWaitSeconds = 60;

struct ProgramCommand {
    ProgramMode mode = ProgramMode::Service;
    bool silent = false;             // "SILENT": no message box after a successful (un)install
    bool json = false;               // "JSON": the check prints one JSON document
    std::optional<int> wait_seconds; // "TIMEOUT:<seconds>": the check's per-query wait
    std::string mistake;             // ProgramMode::Mistake: what is wrong, for the user
};

// True when an argument after the program name (arguments[0]) is the switch `word`.
bool HasSwitch(const std::vector<std::string>& arguments, std::string_view word);

// "INSTALL" is looked for first, then "UNINSTALL" (with "SILENT" anywhere), as the service manager's tools
// expect; then the first argument that is no switch of the program makes the line a mistake; then "HELP" (or
// "?"), "VERSION", "CHECK" (with "JSON" and "TIMEOUT:<seconds>") and "ONCE". Nothing of these: the service.
ProgramCommand ChooseProgramCommand(const std::vector<std::string>& arguments);

} // namespace telva
