#pragma once
// The portable lifecycle of a service: its states and status reports, the service thread that runs the
// start, execute and stop handlers, the control-request queue and the handling of each request, and the
// reporting of lifecycle errors to the system event log. The OS binding (ServiceBinding) and the
// platform's service-manager connection (service_host.h) sit underneath.

#include "service/request_queue.h"
#include "service/service_binding.h"
#include "service/service_status.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace telva {

class Service;

// The service thread's state: its request queue, the Terminated flag (set once, never cleared) and,
// through the queue, the suspended flag.
class ServiceThread {
public:
    ServiceThread(Service& service, std::unique_ptr<ControlRequestQueue> queue);

    // Handles every control request waiting in the queue, in arrival order, and returns as soon as the
    // queue is empty, without waiting. Runs on the service thread only.
    void ProcessRequests();

    bool Terminated() const { return terminated_.load(); }
    void Terminate() { terminated_.store(true); }
    ControlRequestQueue& Queue() { return *queue_; }

    // Any thread: queues `code` (Queue().Post) and counts it when it is a stop or a shutdown.
    void Post(std::uint32_t code);
    // Any thread: kControlShutdown or kControlStop while such a request waits in the queue (a shutdown
    // first), 0 otherwise. Takes nothing from the queue: ProcessRequests handles the request as ever.
    std::uint32_t WaitingStopRequest() const;
    // Waits up to `milliseconds` until a stop or shutdown waits in the queue (at once when one does);
    // whether one does. Takes nothing from the queue.
    bool WaitForStopRequest(std::uint32_t milliseconds);

private:
    Service& service_;
    std::unique_ptr<ControlRequestQueue> queue_;
    std::atomic<bool> terminated_{false};
    // Counted once the request is in the queue, so that a request counted can be taken at once; its taking
    // may come first and count it down early, which leaves the count never above what the queue holds.
    std::atomic<int> stops_waiting_{0};
    std::atomic<int> shutdowns_waiting_{0};
    std::mutex stop_mutex_; // counting up and the wait for a stop, so that no arrival is missed
    std::condition_variable stop_arrived_;
};

// The service manager's handler call: one control code, no context.
using ServiceControllerFunction = void (*)(std::uint32_t code);

class Service {
public:
    using StartStopHandler = std::function<void(Service& sender, bool& flag)>;
    using ExecuteHandler = std::function<void(Service& sender)>;

    Service(std::string service_name, std::string service_display_name, ServiceBinding& binding);
    Service(const Service&) = delete;
    Service& operator=(const Service&) = delete;
    virtual ~Service();

    const std::string name;
    const std::string display_name;

    // Start handler: `flag` (started) is true on entry; false ends the service before it runs.
    StartStopHandler on_start;
    // Stop handler: `flag` (stopped) is true on entry; false keeps the service running.
    StartStopHandler on_stop;
    // Execute handler: the service stops when it returns.
    ExecuteHandler on_execute;
    // Called with the code of a stop or shutdown just before it is queued, on the thread that queues it (the
    // service manager's dispatcher thread, the signal forwarder): must return at once and touch nothing but
    // what is safe from any thread.
    std::function<void(std::uint32_t code)> on_stop_arriving;

    ServiceState Status() const { return status_.load(); }
    // Every assignment is reported at once, also when the value does not change.
    void SetStatus(ServiceState status);
    // True once the service thread has been told to end; false while there is no service thread.
    bool Terminated() const;
    // The running service thread, or null outside its life.
    ServiceThread* CurrentThread() const;
    // Any thread: the stop or shutdown waiting in the service thread's queue (ServiceThread::
    // WaitingStopRequest); 0 while none waits or there is no service thread.
    std::uint32_t WaitingStopRequest() const;

    // Writes one error entry to the system event log under the source `name` (opened at first use).
    void LogMessage(const std::string& message);
    // Sends the current state to the service manager.
    void ReportStatus();
    // Dispatcher side of a control request: queues it for the service thread and wakes a paused thread.
    // A request that comes while there is no service thread is dropped.
    void QueueControlRequest(std::uint32_t code);

    // Runs the whole life of the service on the calling thread: start pending, the service thread from
    // start to end, stopped.
    virtual void RunService();
    virtual bool HandleStopRequest();
    virtual bool HandlePauseRequest();
    virtual bool HandleContinueRequest();
    virtual void HandleInterrogateRequest();
    virtual void HandleShutdownRequest();
    virtual bool HandleCustomRequest(std::uint32_t code);

    // The body of the service thread: start handler, running, execute handler, last requests.
    void RunServiceThread();

    ServiceBinding& Binding() { return binding_; }

private:
    ServiceBinding& binding_;
    std::atomic<ServiceState> status_{ServiceState::Stopped};
    StatusReportState report_state_;

    mutable std::mutex thread_mutex_; // guards service_thread_ against the dispatcher side
    std::unique_ptr<ServiceThread> service_thread_;

    std::mutex log_mutex_;
    std::unique_ptr<EventLogger> event_logger_;
};

// "Service failed on %s: %s" and "Service failed in custom message(%d): %s".
std::string ServiceFailedMessage(const std::string& phase, const std::string& message);
std::string CustomMessageFailedMessage(std::uint32_t code, const std::string& message);

// The one service object of the process (set by its constructor), for handler calls without context.
Service* ServiceInstance();

// The plain function the service manager calls with each control code: queues the code for the one service
// object of the process (nothing happens while there is none).
void ForwardControlRequest(std::uint32_t code);

} // namespace telva
