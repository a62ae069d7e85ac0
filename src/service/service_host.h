#pragma once
// The platform's side of service mode: connects the service object to the service manager (Windows) or
// to signals and the init system (POSIX), runs the service's whole life and returns the exit status.

#include <string>

namespace telva {

class Service;

// How service mode ended.
enum class ServiceProcessEnd {
    Stopped,                    // the service ran and stopped, or could not run (the event log says why)
    NotStartedByServiceManager, // Windows: started by hand, so the service manager could not be reached
};

// Runs `service` under the platform's service manager until it has stopped. Errors that arise outside the
// service object go to the application event source (the executable's file name).
ServiceProcessEnd RunServiceProcess(Service& service);

// The executable's file name without its directory: the name of the application event source.
std::string ApplicationSourceName();

} // namespace telva
