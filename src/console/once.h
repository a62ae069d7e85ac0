#pragma once
// One audit in the foreground, exactly as the service runs it (the same requests, the same daily log lines,
// the upload included), for a manual re-run after a printer was fixed or for a scheduler other than the
// service's own.

#include "run_context.h"

#include <string>

namespace telva {

// Reads the settings at `settings_path` into `context` as the service's start handler does and runs one
// audit with it; `context.log` gets the run's lines. Settings that name no server or contract stop it
// before it starts (their problems go to `problem`); the time of day is the schedule's business and is not
// looked at. Yields the exit status: 0 every printer read and the upload accepted, 1 some printers not
// read, 2 the settings, the server, the login or the upload failed.
int RunOnce(RunContext& context, const std::string& settings_path, std::string& problem);

} // namespace telva
