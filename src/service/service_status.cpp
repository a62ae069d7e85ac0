#include "service/service_status.h"

namespace telva {

std::uint32_t ReportedNumber(TCurrentStatus status) {
    return static_cast<std::uint32_t>(status) + 1;
}

bool IsPending(TCurrentStatus status) {
    return status == csStartPending || status == csStopPending || status == csContinuePending ||
           status == csPausePending;
}

const char* StatusName(TCurrentStatus status) {
    switch (status) {
    case csStopped:
        return "csStopped";
    case csStartPending:
        return "csStartPending";
    case csStopPending:
        return "csStopPending";
    case csRunning:
        return "csRunning";
    case csContinuePending:
        return "csContinuePending";
    case csPausePending:
        return "csPausePending";
    case csPaused:
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

ServiceStatusRecord StatusReportState::Next(TCurrentStatus status) {
    ServiceStatusRecord record;
    record.CurrentState = ReportedNumber(status);
    record.ControlsAccepted = status == csStartPending ? 0 : kControlsAccepted;
    record.CheckPoint = IsPending(status) && status == last_state_ ? last_check_point_ + 1 : 0;
    last_state_ = status;
    last_check_point_ = record.CheckPoint;
    return record;
}

} // namespace telva
