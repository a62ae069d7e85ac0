#pragma once
// The commands a person gives at the console: the usage, the version, the check of an installation and the
// one-off audit. Each writes to standard output and standard error and yields the process's exit status.

#include "clock.h"
#include "console/command_line.h"

#include <string>

namespace telva {

// The usage text, ending in a line feed.
std::string UsageText();

// Runs `command` (any mode but Service, Install and Uninstall) with the settings file at `settings_path`
// and the daily log in `log_directory`.
int RunConsoleCommand(const ProgramCommand& command, Clock& clock, const std::string& settings_path,
                      const std::string& log_directory);

} // namespace telva
