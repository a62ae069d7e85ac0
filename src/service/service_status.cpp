#include "service/service_status.h"

namespace telva {

std::uint32_t ReportedNumber(ServiceState status) {
    return static_cast<std::uint32_t>(status) + 1;
}

bool IsPending(ServiceState status) {
    return status == ServiceState::StartPending || status == ServiceState::StopPending ||
           status == ServiceState::ContinuePending || status == ServiceState::PausePending;
}

const char* StatusName(ServiceState status) {
    switch (status) {
    case ServiceState::Stopped:
        return "csStopped";
    case ServiceState::StartPending:
        return "csStartPending";
    case ServiceState::StopPending:
        return "csStopPending";
    case ServiceState::Running:
        return "csRunning";
    case ServiceState::ContinuePending:
        return "csContinuePending";
    case ServiceState::PausePending:
        return "csPausePending";
    case ServiceState::Paused:
        return "csPaused";
    }
    return "unknown";
}

std::string ControlWord(std::uint32_t code) {
    switch (code) {
    case kControlStop:
        return "stop";
    case kControlPause:
        return "pause";
    case kControlContinue:
        return "continue";
    case kControlInterrogate:
        return "interrogate";
    case kControlShutdown:
        return "shutdown";
    default:
        return {};
    }
}

ServiceStatusRecord StatusReportState::Next(ServiceState status) {
    ServiceStatusRecord record;
    record.current_state = ReportedNumber(status);
    record.controls_accepted = status == ServiceState::StartPending ? 0 : kControlsAccepted;
    record.check_point = IsPending(status) && status == last_state_ ? last_check_point_ + 1 : 0;
    last_state_ = status;
    last_check_point_ = record.check_point;
    return record;
}

} // namespace telva
