#include "service/service.h"

#include "platform/deadline.h"
#include "service/system_error.h"

#include <thread>

namespace telva {
namespace {

std::atomic<Service*> the_service{nullptr};

} // namespace

std::string ServiceFailedMessage(const std::string& phase, const std::string& message) {
    return "Service failed on " + phase + ": " + message;
}

std::string CustomMessageFailedMessage(std::uint32_t code, const std::string& message) {
    return "Service failed in custom message(" + std::to_string(code) + "): " + message;
}

Service* ServiceInstance() {
    return the_service.load();
}

void ForwardControlRequest(std::uint32_t code) {
    if (Service* service = the_service.load()) {
        service->QueueControlRequest(code);
    }
}

ServiceThread::ServiceThread(Service& service, std::unique_ptr<ControlRequestQueue> queue)
    : service_(service), queue_(std::move(queue)) {}

void ServiceThread::Post(std::uint32_t code) {
    queue_->Post(code);
    if (code != kControlStop && code != kControlShutdown) {
        return;
    }
    {
        const std::lock_guard lock(stop_mutex_);
        (code == kControlStop ? stops_waiting_ : shutdowns_waiting_).fetch_add(1);
    }
    stop_arrived_.notify_all();
}

std::uint32_t ServiceThread::WaitingStopRequest() const {
    if (shutdowns_waiting_.load() > 0) {
        return kControlShutdown;
    }
    return stops_waiting_.load() > 0 ? kControlStop : 0;
}

bool ServiceThread::WaitForStopRequest(std::uint32_t milliseconds) {
    const Deadline deadline = Deadline::In(milliseconds);
    std::unique_lock lock(stop_mutex_);
    return stop_arrived_.wait_until(lock, deadline.End(), [this] { return WaitingStopRequest() != 0; });
}

void ServiceThread::ProcessRequests() {
    while (const auto next = queue_->TakeNext()) {
        const std::uint32_t code = *next;
        if (code == kControlStop) {
            stops_waiting_.fetch_sub(1);
        } else if (code == kControlShutdown) {
            shutdowns_waiting_.fetch_sub(1);
        }
        const ServiceState old_state = service_.Status();
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

Service::Service(std::string service_name, std::string service_display_name, ServiceBinding& binding)
    : name(std::move(service_name)), display_name(std::move(service_display_name)), binding_(binding) {
    the_service.store(this);
}

Service::~Service() {
    Service* self = this;
    the_service.compare_exchange_strong(self, nullptr);
}

void Service::SetStatus(ServiceState status) {
    status_.store(status);
    ReportStatus();
}

bool Service::Terminated() const {
    const std::lock_guard lock(thread_mutex_);
    return service_thread_ != nullptr && service_thread_->Terminated();
}

ServiceThread* Service::CurrentThread() const {
    const std::lock_guard lock(thread_mutex_);
    return service_thread_.get();
}

std::uint32_t Service::WaitingStopRequest() const {
    const std::lock_guard lock(thread_mutex_);
    return service_thread_ != nullptr ? service_thread_->WaitingStopRequest() : 0;
}

void Service::LogMessage(const std::string& message) {
    try {
        const std::lock_guard lock(log_mutex_);
        if (!event_logger_) {
            event_logger_ = binding_.OpenEventSource(name);
        }
        if (event_logger_) {
            event_logger_->LogMessage(message);
        }
    } catch (...) {
        // The event log is the last place an error can go; losing the entry must not stop the service.
    }
}

void Service::ReportStatus() {
    const ServiceStatusRecord record = report_state_.Next(Status());
    const std::uint32_t error = binding_.SendStatus(record);
    if (error != 0) {
        LogMessage(binding_.SystemErrorText(error));
    }
}

void Service::QueueControlRequest(std::uint32_t code) {
    const std::lock_guard lock(thread_mutex_);
    if (!service_thread_) {
        return;
    }
    if ((code == kControlStop || code == kControlShutdown) && on_stop_arriving) {
        on_stop_arriving(code);
    }
    service_thread_->Post(code);
}

void Service::RunService() {
    bool failed = false;
    std::string failure;
    try {
        SetStatus(ServiceState::StartPending);
        auto state = std::make_unique<ServiceThread>(*this, binding_.CreateRequestQueue());
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
    SetStatus(ServiceState::Stopped);
    if (failed) {
        LogMessage(ServiceFailedMessage("execute", failure));
    }
}

void Service::RunServiceThread() {
    std::string phase = "start";
    try {
        ServiceThread* thread = CurrentThread();
        thread->Queue().Create();
        SetStatus(ServiceState::StartPending);
        bool started = true;
        if (on_start) {
            on_start(*this, started);
        }
        if (!started) {
            return;
        }
        phase = "execute";
        SetStatus(ServiceState::Running);
        if (on_execute) {
            on_execute(*this);
        }
        thread->ProcessRequests();
    } catch (...) {
        LogMessage(ServiceFailedMessage(phase, CurrentErrorMessage()));
    }
}

bool Service::HandleStopRequest() {
    SetStatus(ServiceState::StopPending);
    bool stopped = true;
    if (on_stop) {
        on_stop(*this, stopped);
    }
    if (stopped) {
        CurrentThread()->Terminate();
    }
    return stopped;
}

bool Service::HandlePauseRequest() {
    SetStatus(ServiceState::PausePending);
    // There is no pause handler: the pause is granted and the service thread freezes right here until
    // the next control request.
    SetStatus(ServiceState::Paused);
    CurrentThread()->Queue().SuspendUntilNextRequest();
    return true;
}

bool Service::HandleContinueRequest() {
    SetStatus(ServiceState::ContinuePending);
    SetStatus(ServiceState::Running);
    return true;
}

void Service::HandleInterrogateRequest() {
    ReportStatus();
}

void Service::HandleShutdownRequest() {
    try {
        SetStatus(ServiceState::StopPending);
    } catch (...) {
        CurrentThread()->Terminate();
        throw;
    }
    CurrentThread()->Terminate();
}

bool Service::HandleCustomRequest(std::uint32_t) {
    return true;
}

} // namespace telva
