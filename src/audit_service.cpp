#include "audit_service.h"

#include "audit_run.h"
#include "platform/files.h"
#include "platform/memory.h"
#include "scheduler.h"
#include "site/local_address.h"
#include "site/settings.h"

#include <algorithm>

namespace telva {
namespace {

constexpr std::uint32_t kStopWaitMs = 5000;

} // namespace

AuditService::AuditService(RunContext& context, std::string settings_path, ServiceBinding& binding)
    : Service(kServiceName, kServiceDisplayName, binding), context_(context),
      settings_path_(std::move(settings_path)) {
    on_start = [this](Service&, bool& started) { HandleStart(started); };
    on_stop = [this](Service&, bool& stopped) { HandleStop(stopped); };
    on_execute = [this](Service&) { HandleExecute(); };
    // From the moment a stop or shutdown arrives, the server calls of a run have 20 s to finish.
    on_stop_arriving = [this](std::uint32_t) {
        context_.stop_cutoff.Set(SteadyClock::now() + kStopServerCallsBudget);
    };
    // A run asks this between its queries, so that a stop or shutdown need not wait for every printer.
    context_.stop_requested = [this] {
        switch (WaitingStopRequest()) {
        case kControlShutdown:
            return StopRequest::Shutdown;
        case kControlStop:
            return StopRequest::Stop;
        default:
            return StopRequest::None;
        }
    };
}

AuditService::~AuditService() {
    context_.stop_requested = nullptr;
}

void AuditService::HandleStart(bool& started) {
    const std::string local_address = GetLocalAddress();
    context_.settings = ReadSettings(settings_path_);
    context_.settings.local_address = local_address;
    started = true;
    context_.Log("Service started, IP " + local_address);
    if (!ServerAddressUsable(context_.settings.server_address)) {
        context_.Log(kServerAddressNotUsableText + context_.settings.server_address);
    }
    // The service runs on defaults or without its daily run in these cases; say so where the technician
    // looks.
    if (!SettingsFileReadable(settings_path_)) {
        context_.Log("Settings file not read, defaults in use: " + settings_path_);
    }
    const std::string& schedule = context_.settings.schedule_time;
    if (!IsValidScheduleTime(schedule, context_.clock.TimeSeparator())) {
        context_.Log("Invalid horario \"" + schedule + "\": only the start run will happen");
    }
    if (platform::FileReadableByOthers(settings_path_)) {
        context_.Log(kSettingsReadableByEveryoneText + settings_path_);
    }
    if (!context_.settings.proxy.problem.empty()) {
        context_.Log(context_.settings.proxy.problem);
    }
}

void AuditService::HandleStop(bool& stopped) {
    std::uint32_t wait = kStopWaitMs;
    if (const auto cutoff = context_.stop_cutoff.Get()) {
        wait = std::min(wait, Deadline(*cutoff + kStopWaitLatestAfterCutoff).LeftMs());
    }
    context_.clock.Sleep(wait);
    context_.Log("Service stopped, IP " + context_.settings.local_address);
    stopped = true;
}

void AuditService::RunService() {
    // A stop of an earlier life of this service must not cut the runs of this one short.
    context_.stop_cutoff.Clear();
    Service::RunService();
}

void AuditService::HandleExecute() {
    RunScheduleLoop(*this, context_, run_now_, [this] {
        const AuditOutcome outcome = RunAudit(context_);
        // What a run allocated (the printer list, the upload form) is given back while the service rests.
        platform::ReleaseFreeMemory();
        return outcome.retryable;
    });
}

} // namespace telva
