#include "service/service.h"

#include "service/system_error.h"

#include <thread>

namespace telva {
namespace {

std::atomic<TService*> the_service{nullptr};

} // namespace

std::string ServiceFailedMessage(const std::string& phase, const std::string& message) {
    return "Service failed on " + phase + ": " + message;
}

std::string CustomMessageFailedMessage(std::uint32_t code, const std::string& message) {
    return "Service failed in custom message(" + std::to_string(code) + "): " + message;
}

TService* ServiceInstance() {
    return the_service.load();
}

TServiceThread::TServiceThread(TService& service, std::unique_ptr<ControlRequestQueue> queue)
    : service_(service), queue_(std::move(queue)) {}

void TServiceThread::ProcessRequests() {
    while (const auto next = queue_->TakeNext()) {
        const std::uint32_t code = *next;
        const TCurrentStatus old_state = service_.Status();
        try {
            bool ok = true;
            switch (code) {
            case kControlStop:
                ok = service_.HandleStopRequest();
                break;
            case kControlPause:
                ok = service_.HandlePauseRequest();
                break;
            case kControlContinue:
                ok = service_.HandleContinueRequest();
                break;
            case kControlInterrogate:
                service_.HandleInterrogateRequest();
                break;
            case kControlShutdown:
                service_.HandleShutdownRequest();
                break;
            default:
                ok = service_.HandleCustomRequest(code);
                break;
            }
            if (!ok) {
                service_.SetStatus(old_state);
            }
        } catch (...) {
            const std::string message = CurrentErrorMessage();
            // A failed shutdown keeps its stop-pending state: Terminated is set all the same.
            if (code != kControlShutdown) {
                service_.SetStatus(old_state);
            }
            const std::string word = ControlWord(code);
            service_.LogMessage(word.empty() ? CustomMessageFailedMessage(code, message)
                                             : ServiceFailedMessage(word, message));
        }
    }
}

TService::TService(std::string name, std::string display_name, ServiceBinding& binding)
    : Name(std::move(name)), DisplayName(std::move(display_name)), binding_(binding) {
    the_service.store(this);
}

TService::~TService() {
    TService* self = this;
    the_service.compare_exchange_strong(self, nullptr);
}

void TService::SetStatus(TCurrentStatus status) {
    status_.store(status);
    ReportStatus();
}

bool TService::Terminated() const {
    const std::lock_guard lock(thread_mutex_);
    return service_thread_ != nullptr && service_thread_->Terminated();
}

TServiceThread* TService::ServiceThread() const {
    const std::lock_guard lock(thread_mutex_);
    return service_thread_.get();
}

void TService::LogMessage(const std::string& message) {
    try {
        const std::lock_guard lock(log_mutex_);
        if (!event_logger_) {
            event_logger_ = binding_.OpenEventSource(Name);
        }
        if (event_logger_) {
            event_logger_->LogMessage(message);
        }
    } catch (...) {
        // The event log is the last place an error can go; losing the entry must not stop the service.
    }
}

void TService::ReportStatus() {
    const ServiceStatusRecord record = report_state_.Next(Status());
    const std::uint32_t error = binding_.SendStatus(record);
    if (error != 0) {
        LogMessage(binding_.SystemErrorText(error));
    }
}

void TService::QueueControlRequest(std::uint32_t code) {
    const std::lock_guard lock(thread_mutex_);
    if (service_thread_) {
        service_thread_->Queue().Post(code);
    }
}

void TService::RunService() {
    bool failed = false;
    std::string failure;
    try {
        SetStatus(csStartPending);
        auto state = std::make_unique<TServiceThread>(*this, binding_.CreateRequestQueue());
        {
            const std::lock_guard lock(thread_mutex_);
            service_thread_ = std::move(state);
        }
        std::thread worker([this] { RunServiceThread(); });
        worker.join();
    } catch (...) {
        failed = true;
        failure = CurrentErrorMessage();
    }
    {
        const std::lock_guard lock(thread_mutex_);
        service_thread_.reset();
    }
    SetStatus(csStopped);
    if (failed) {
        LogMessage(ServiceFailedMessage("execute", failure));
    }
}

void TService::RunServiceThread() {
    std::string phase = "start";
    try {
        TServiceThread* thread = ServiceThread();
        thread->Queue().Create();
        SetStatus(csStartPending);
        bool started = true;
        if (OnStart) {
            OnStart(*this, started);
        }
        if (!started) {
            return;
        }
        phase = "execute";
        SetStatus(csRunning);
        if (OnExecute) {
            OnExecute(*this);
        }
        thread->ProcessRequests();
    } catch (...) {
        LogMessage(ServiceFailedMessage(phase, CurrentErrorMessage()));
    }
}

bool TService::HandleStopRequest() {
    SetStatus(csStopPending);
    bool stopped = true;
    if (OnStop) {
        OnStop(*this, stopped);
    }
    if (stopped) {
        ServiceThread()->Terminate();
    }
    return stopped;
}

bool TService::HandlePauseRequest() {
    SetStatus(csPausePending);
    // There is no pause handler: the pause is granted and the service thread freezes right here until
    // the next control request.
    SetStatus(csPaused);
    ServiceThread()->Queue().SuspendUntilNextRequest();
    return true;
}

bool TService::HandleContinueRequest() {
    SetStatus(csContinuePending);
    SetStatus(csRunning);
    return true;
}

void TService::HandleInterrogateRequest() {
    ReportStatus();
}

void TService::HandleShutdownRequest() {
    try {
        SetStatus(csStopPending);
    } catch (...) {
        ServiceThread()->Terminate();
        throw;
    }
    ServiceThread()->Terminate();
}

bool TService::HandleCustomRequest(std::uint32_t) {
    return true;
}

} // namespace telva
