#pragma once
// What the lifecycle core needs of the operating system: sending a status report, the system event log,
// the system's error texts and a control-request queue for the service thread. One binding per OS
// (service_win32.cpp, service_posix.cpp); the lifecycle tests use a fake one.

#include "service/request_queue.h"
#include "service/service_status.h"

#include <cstdint>
#include <memory>
#include <string>

namespace telva {

// One source of the system event log; every message becomes one error entry (category 0, identifier 0).
class EventLogger {
public:
    virtual ~EventLogger() = default;
    virtual void LogMessage(const std::string& message) = 0;
};

class ServiceBinding {
public:
    virtual ~ServiceBinding() = default;

    // Sends one status record through the status handle; 0 on success, else the system error code.
    virtual std::uint32_t SendStatus(const ServiceStatusRecord& record) = 0;
    // Opens the event source `source` (released with the returned object).
    virtual std::unique_ptr<EventLogger> OpenEventSource(const std::string& source) = 0;
    // The system's message text for an error code, trimmed (see TrimSystemErrorText).
    virtual std::string SystemErrorText(std::uint32_t code) = 0;
    // A fresh queue for a new service thread.
    virtual std::unique_ptr<ControlRequestQueue> CreateRequestQueue() = 0;
};

// The binding of the operating system the program runs on.
ServiceBinding& PlatformServiceBinding();

} // namespace telva
