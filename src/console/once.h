#pragma once
// One audit in the foreground, exactly as the service runs it (the same requests, the same daily log lines,
// the upload included), for a manual re-run after a printer was fixed or for a scheduler other than the
// service's own.

#include "run_context.h"
#include "site/daily_log.h"

#include <functional>
#include <string>
#include <string_view>

namespace telva {

// The one-off run's log: every line goes to `log` (the daily log) and is shown with `show` as it is written,
// except a line the log keeps although it does not hold this time (LogSink::WriteUnshown). The lines are
// shown as the log has them: text from the network in them was made safe where the line was made.
class ConsoleEchoLog final : public LogSink {
public:
    using Show = std::function<void(std::string_view line)>;
    ConsoleEchoLog(LogSink& log, Show show) : log_(log), show_(std::move(show)) {}
    void Write(std::string_view message) noexcept override;
    void WriteUnshown(std::string_view message) noexcept override { log_.Write(message); }

private:
    LogSink& log_;
    Show show_;
};

// Why `log` cannot take the one-off run's lines, naming its directory or file; empty when it can. A missing
// directory is created first, as the service's own is made for it.
std::string DailyLogProblem(const DailyLog& log);

// Reads the settings at `settings_path` into `context` as the service's start handler does and runs one
// audit with it; `context.log` gets the run's lines. `say` gets the program's own words for the person at
// the console: every settings problem before the run, then one line with the result. Settings that name no
// server or contract stop it before any request; the other problems (the time of day among them, which is
// the schedule's business) are said and the run goes on. Yields the exit status: 0 every printer read and
// the upload accepted, 1 some printers not read, 2 the settings, the server, the login, the upload or the
// logout failed.
int RunOnce(RunContext& context, const std::string& settings_path,
            const std::function<void(const std::string&)>& say);

} // namespace telva
