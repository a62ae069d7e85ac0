// POSIX binding of the service shell. The process runs in the foreground as the service (a systemd
// Type=notify unit). Control requests arrive as signals: SIGTERM and SIGINT stop, SIGUSR1 pause, SIGUSR2
// continue, SIGHUP interrogate, SIGPWR shutdown. The signals are blocked in every thread and taken by one
// forwarding thread with sigwait, so no code runs in a signal handler; the forwarder only queues the code.
// Status reports become sd_notify datagrams when NOTIFY_SOCKET is set; event-log entries go to syslog and
// to stderr.

#include "service/service.h"
#include "service/service_host.h"
#include "service/system_error.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <thread>
#include <unistd.h>

namespace telva {
namespace {

std::mutex& SyslogMutex() {
    static std::mutex mutex;
    return mutex;
}

class SyslogEventLogger final : public EventLogger {
public:
    explicit SyslogEventLogger(std::string source) : source_(std::move(source)) {}

    void LogMessage(const std::string& message) override {
        {
            const std::lock_guard lock(SyslogMutex());
            openlog(source_.c_str(), LOG_PID, LOG_DAEMON);
            syslog(LOG_ERR, "%s", message.c_str());
            closelog();
        }
        std::fprintf(stderr, "%s: %s\n", source_.c_str(), message.c_str());
        std::fflush(stderr);
    }

private:
    std::string source_;
};

// One datagram to $NOTIFY_SOCKET; 0 when sent or when no socket is set, else errno.
std::uint32_t Notify(const std::string& text) {
    const char* path = std::getenv("NOTIFY_SOCKET");
    if (path == nullptr || path[0] == '\0') {
        return 0;
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::size_t length = std::strlen(path);
    if (length >= sizeof address.sun_path) {
        return EINVAL;
    }
    std::memcpy(address.sun_path, path, length);
    if (path[0] == '@') {
        address.sun_path[0] = '\0'; // abstract socket name
    }
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return static_cast<std::uint32_t>(errno);
    }
    const auto address_length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length);
    std::uint32_t error = 0;
    if (sendto(fd, text.data(), text.size(), MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&address),
               address_length) < 0) {
        error = static_cast<std::uint32_t>(errno);
    }
    close(fd);
    return error;
}

std::string NotifyText(const ServiceStatusRecord& record) {
    std::string text;
    const auto state = static_cast<ServiceState>(record.current_state - 1);
    if (state == ServiceState::Running) {
        text += "READY=1\n";
    } else if (state == ServiceState::StopPending || state == ServiceState::Stopped) {
        text += "STOPPING=1\n";
    }
    text += "STATUS=";
    text += StatusName(state);
    return text;
}

class PosixBinding final : public ServiceBinding {
public:
    std::uint32_t SendStatus(const ServiceStatusRecord& record) override {
        return Notify(NotifyText(record));
    }
    std::unique_ptr<EventLogger> OpenEventSource(const std::string& source) override {
        return std::make_unique<SyslogEventLogger>(source);
    }
    std::string SystemErrorText(std::uint32_t code) override { return telva::SystemErrorText(code); }
    std::unique_ptr<ControlRequestQueue> CreateRequestQueue() override {
        return std::make_unique<PortableRequestQueue>();
    }
};

std::uint32_t ControlCodeOf(int signal_number) {
    switch (signal_number) {
    case SIGUSR1:
        return kControlPause;
    case SIGUSR2:
        return kControlContinue;
    case SIGHUP:
        return kControlInterrogate;
    case SIGPWR:
        return kControlShutdown;
    default:
        return kControlStop; // SIGTERM, SIGINT
    }
}

} // namespace

ServiceBinding& PlatformServiceBinding() {
    static PosixBinding binding;
    return binding;
}

ServiceProcessEnd RunServiceProcess(Service& service) {
    SyslogEventLogger application(ApplicationSourceName());
    try {
        sigset_t controls;
        sigemptyset(&controls);
        for (const int signal_number : {SIGTERM, SIGINT, SIGUSR1, SIGUSR2, SIGHUP, SIGPWR}) {
            sigaddset(&controls, signal_number);
        }
        // Blocked before any thread starts, so every thread inherits the mask and only sigwait sees them.
        // They stay blocked to the end: a signal that comes after the service has stopped is ignored.
        if (const int error = pthread_sigmask(SIG_BLOCK, &controls, nullptr); error != 0) {
            application.LogMessage(SystemErrorText(static_cast<std::uint32_t>(error)));
            return ServiceProcessEnd::Stopped;
        }
        std::atomic<bool> finished{false};
        std::thread forwarder([&] {
            for (;;) {
                int signal_number = 0;
                if (sigwait(&controls, &signal_number) != 0) {
                    continue;
                }
                if (finished.load()) {
                    return;
                }
                ForwardControlRequest(ControlCodeOf(signal_number));
            }
        });
        service.RunService();
        finished.store(true);
        pthread_kill(forwarder.native_handle(), SIGHUP);
        forwarder.join();
    } catch (...) {
        application.LogMessage(CurrentErrorMessage());
    }
    return ServiceProcessEnd::Stopped;
}

} // namespace telva
