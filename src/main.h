#pragma once
// The service object of this system: its start and stop handlers, the scheduler loop and the audit run.

#include "commons/process_records.h"
#include "commons/time_source.h"
#include "service/scheduler.h"
#include "service/service.h"

#include <array>
#include <string>
#include <string_view>

namespace telva {

inline constexpr const char* kServiceName = "TELVA4Audit";
inline constexpr const char* kServiceDisplayName = "TELVA Audit Life Count Manager";

// The nine text fields of one printer: "id", "ip", "serial", then the six counter identifiers
// "lifecount", "lifecountcolor", "lifecountmono", "lifecountcolorbig", "lifecountmonobig", "scancount".
// In a reading record, fields 3 to 8 hold what the printer answered for those identifiers.
struct PrinterRecord {
    std::array<std::string, 9> Fields;
};

// The members of a printer object the record's fields come from, in field order.
inline constexpr std::array<const char*, 9> kPrinterMembers = {"id",
                                                               "ip",
                                                               "serial",
                                                               "lifecount",
                                                               "lifecountcolor",
                                                               "lifecountmono",
                                                               "lifecountcolorbig",
                                                               "lifecountmonobig",
                                                               "scancount"};

class TTELVA4Audit : public TService {
public:
    // `time` serves the stop handler's wait; `schedule` the scheduler's clock, sleep and random delay;
    // `binding` the connection to the operating system's service facilities.
    explicit TTELVA4Audit(TimeSource& time = SystemTime(), ScheduleClock& schedule = SystemScheduleClock(),
                          ServiceBinding& binding = PlatformServiceBinding());

    // Chooses LocalIP, loads AuditSettings from the settings file, derives BaseUrl and writes the start
    // line. Leaves Started true.
    void ServiceStart(bool& Started);
    // Waits 5000 ms and writes the stop line. Leaves Stopped true.
    void ServiceStop(bool& Stopped);
    // The scheduler loop: runs until Terminated is set or an audit run fails.
    void ServiceExecute(TService& Sender);
    // One complete audit run: login, fetch the printers, read six counters of each, upload, logout
    // (audit_run.cpp).
    void RunAudit();

    // The settings file the start handler reads; the one beside the executable unless a test sets another.
    std::string SettingsPath;

    // Returns ServiceControlHandler, which queues each control code for the one service object.
    ServiceControllerFunction GetServiceController() override;

private:
    TimeSource& time_;
    ScheduleClock& schedule_;
};

// ServerAddress lower-cased and followed by "/app/index.php/"; "http://" goes in front when the text
// "http" occurs nowhere in the result.
std::string DeriveBaseUrl(std::string_view server_address);

} // namespace telva
