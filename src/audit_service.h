#pragma once
// The service of this system: its start and stop handlers and the schedule loop that runs the audits, over
// the one run context of the process.

#include "run_context.h"
#include "service/service.h"

#include <chrono>
#include <string>

namespace telva {

inline constexpr const char* kServiceName = "TELVA4Audit";
inline constexpr const char* kServiceDisplayName = "TELVA Audit Life Count Manager";
// The start line's companion when the settings file (which holds the server password) can be read by users
// other than its owner and group; the file's path follows.
inline constexpr const char* kSettingsReadableByEveryoneText =
    "Settings file readable by every user, it holds the server password: ";

// A stop or shutdown is done within 25 s of its arrival: a run it cuts short has until kStopServerCallsBudget
// after the arrival for its remaining server calls (the run context's stop cut-off, set as the request
// arrives); the stop handler's wait then ends half a second before the 25 s are over, for the stop line and
// the last reports.
inline constexpr std::chrono::milliseconds kStopWaitLatestAfterCutoff{4500};

class AuditService : public Service {
public:
    // `context` is the run context every handler and audit run uses (its settings are filled by the start
    // handler); `settings_path` the settings file the start handler reads; `binding` the connection to the
    // operating system's service facilities.
    AuditService(RunContext& context, std::string settings_path,
                 ServiceBinding& binding = PlatformServiceBinding());
    // Leaves the run context without its question about waiting stops (it asks this service).
    ~AuditService() override;

    // Chooses the local address, loads the settings, derives the server URL and writes the start line,
    // followed by a line for each of: server address not usable, settings file not read, invalid schedule
    // time, settings file readable by every user. Leaves `started` true.
    void HandleStart(bool& started);
    // Waits 5000 ms (less when the stop cut-off leaves less, see kStopWaitLatestAfterCutoff) and writes the
    // stop line. Leaves `stopped` true.
    void HandleStop(bool& stopped);
    // The schedule loop: runs until the service thread is terminated or an audit run fails.
    void HandleExecute();
    // The service's whole life, which begins without a stop cut-off.
    void RunService() override;

    RunContext& context() { return context_; }

private:
    RunContext& context_;
    std::string settings_path_;
    bool run_now_ = true; // the first check after start runs an audit whatever the time
};

} // namespace telva
