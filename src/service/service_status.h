#pragma once
// The states a service goes through, the numbers the service manager knows them by, and the status record
// built for every report, with its check-point rule.

#include <cstdint>
#include <string>

namespace telva {

// In declaration order; the reported number of each state is its position plus one.
enum class ServiceState {
    Stopped,
    StartPending,
    StopPending,
    Running,
    ContinuePending,
    PausePending,
    Paused,
};

// SERVICE_STOPPED (1) .. SERVICE_PAUSED (7).
std::uint32_t ReportedNumber(ServiceState status);
bool IsPending(ServiceState status);
// "csRunning" and so on: the POSIX build sends it to the init system as the status text.
const char* StatusName(ServiceState status);

// Control codes of the service manager; every other code is a custom request.
inline constexpr std::uint32_t kControlStop = 1;
inline constexpr std::uint32_t kControlPause = 2;
inline constexpr std::uint32_t kControlContinue = 3;
inline constexpr std::uint32_t kControlInterrogate = 4;
inline constexpr std::uint32_t kControlShutdown = 5;

// "stop", "pause", "continue", "interrogate", "shutdown" for codes 1 to 5; empty for a custom code.
std::string ControlWord(std::uint32_t code);

// Fixed values of the service description, shared by every report and by the registration.
inline constexpr std::uint32_t kServiceTypeOwnProcess = 0x10; // its own process, not interactive
inline constexpr std::uint32_t kStartTypeAuto = 2;            // started with the machine
inline constexpr std::uint32_t kErrorControlNormal = 1;       // a failed start is logged
inline constexpr std::uint32_t kWaitHintMs = 5000;
// SERVICE_ACCEPT_STOP + SERVICE_ACCEPT_PAUSE_CONTINUE + SERVICE_ACCEPT_SHUTDOWN.
inline constexpr std::uint32_t kControlsAccepted = 1 + 2 + 4;

// The fields of one SERVICE_STATUS record.
struct ServiceStatusRecord {
    std::uint32_t service_type = kServiceTypeOwnProcess;
    std::uint32_t current_state = 0;
    std::uint32_t controls_accepted = 0;
    std::uint32_t win32_exit_code = 0;
    std::uint32_t service_specific_exit_code = 0;
    std::uint32_t check_point = 0;
    std::uint32_t wait_hint = kWaitHintMs;

    bool operator==(const ServiceStatusRecord&) const = default;
};

// The memory shared by all reports: the last reported state and the last check point. A pending state
// reported twice in a row counts its check point up; every other report sends 0.
class StatusReportState {
public:
    // Builds the record for `status` and remembers it as the last one sent, whatever becomes of the send.
    ServiceStatusRecord Next(ServiceState status);

private:
    ServiceState last_state_ = ServiceState::StartPending;
    std::uint32_t last_check_point_ = 0;
};

} // namespace telva
