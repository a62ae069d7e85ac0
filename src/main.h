#pragma once
// The service object of this system: its start and stop handlers, the scheduler loop and the audit run.

#include "commons/process_records.h"
#include "commons/time_source.h"

#include <string>
#include <string_view>

namespace telva {

class TTELVA4Audit {
public:
    explicit TTELVA4Audit(TimeSource& time = SystemTime());

    // Chooses LocalIP, loads AuditSettings from the settings file, derives BaseUrl and writes the start
    // line. Leaves Started true.
    void ServiceStart(bool& Started);
    // Waits 5000 ms and writes the stop line. Leaves Stopped true.
    void ServiceStop(bool& Stopped);
    // One complete audit run.
    void RunAudit();

    // The settings file the start handler reads; the one beside the executable unless a test sets another.
    std::string SettingsPath;

private:
    TimeSource& time_;
};

// ServerAddress lower-cased and followed by "/app/index.php/"; "http://" goes in front when the text
// "http" occurs nowhere in the result.
std::string DeriveBaseUrl(std::string_view server_address);

} // namespace telva
