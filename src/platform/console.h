#pragma once
// The console a technician runs the program from: text out, and the interrupt keys.

#include "platform/deadline.h"

#include <chrono>
#include <string_view>

namespace telva::platform {

// Prepares standard output and standard error for UTF-8 text (the Windows console's code page); nothing to
// do elsewhere.
void PrepareConsoleOutput();

// Writes `text` to standard output or standard error and flushes it; what cannot be written is lost.
void WriteOut(std::string_view text);
void WriteError(std::string_view text);

// From now on Ctrl+C, Ctrl+Break and a request to end the process (SIGINT and SIGTERM on POSIX; closing the
// console window on Windows) are noted instead of ending the process at once, so that the work in hand can
// finish cleanly. Idempotent. When `cutoff` is given, an interrupt also sets it to `budget` after the moment
// it came, so that the waits of the work in hand end by then (a stop's cut-off); `cutoff` must outlive the
// process's handling of interrupts.
void CatchInterrupts(Cutoff* cutoff = nullptr, std::chrono::milliseconds budget = {});

// Whether an interrupt has been noted since CatchInterrupts. Safe from any thread.
bool InterruptNoted();

} // namespace telva::platform
