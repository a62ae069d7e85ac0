// Windows binding of the service shell: the service control manager connection, status reports through
// SetServiceStatus, the service thread's own message queue for control requests (message 0x401), the pause
// by SuspendThread/ResumeThread, and the system event log.

#include "platform/unicode.h"
#include "platform/wide_text_win32.h"
#include "service/service.h"
#include "service/service_host.h"
#include "service/system_error.h"

#include <windows.h>

#include <atomic>

namespace telva {

using platform::Wide;
namespace {

constexpr UINT kServiceControlMessage = WM_USER + 1;
// How long the dispatcher side keeps trying to resume a service thread that has announced its pause but
// not yet suspended itself: 1 ms per attempt.
constexpr int kResumeAttempts = 10000;

class Win32EventLogger final : public EventLogger {
public:
    explicit Win32EventLogger(const std::string& source)
        : source_(RegisterEventSourceW(nullptr, Wide(source).c_str())) {}
    ~Win32EventLogger() override {
        if (source_ != nullptr) {
            DeregisterEventSource(source_);
        }
    }
    Win32EventLogger(const Win32EventLogger&) = delete;
    Win32EventLogger& operator=(const Win32EventLogger&) = delete;

    void LogMessage(const std::string& message) override {
        if (source_ == nullptr) {
            return;
        }
        const std::wstring text = Wide(message);
        const wchar_t* strings[1] = {text.c_str()};
        ReportEventW(source_, EVENTLOG_ERROR_TYPE, 0, 0, nullptr, 1, 0, strings, nullptr);
    }

private:
    HANDLE source_;
};

// The service thread's message queue. Pause: the service thread marks itself suspended and suspends
// itself; the poster resumes it after posting. A request already waiting when the pause begins ends it at
// once, and a resume that races with the suspension is retried until the thread is really suspended.
class Win32MessageQueue final : public ControlRequestQueue {
public:
    ~Win32MessageQueue() override {
        if (thread_ != nullptr) {
            CloseHandle(thread_);
        }
    }

    void Create() override {
        MSG message;
        PeekMessageW(&message, nullptr, WM_USER, WM_USER, PM_NOREMOVE); // makes the system create the queue
        thread_ = OpenThread(THREAD_SUSPEND_RESUME, FALSE, GetCurrentThreadId());
        thread_id_.store(GetCurrentThreadId());
    }

    void Post(std::uint32_t code) override {
        const DWORD thread_id = thread_id_.load();
        if (thread_id == 0) {
            return; // no queue yet: the request has nowhere to go
        }
        PostThreadMessageW(thread_id, kServiceControlMessage, code, 0);
        if (suspended_.exchange(false)) {
            Resume();
        }
    }

    std::optional<std::uint32_t> TakeNext() override {
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            if (message.hwnd == nullptr && message.message == kServiceControlMessage) {
                return static_cast<std::uint32_t>(message.wParam);
            }
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
        return std::nullopt;
    }

    void SuspendUntilNextRequest() override {
        suspended_.store(true);
        MSG message;
        if (PeekMessageW(&message, nullptr, kServiceControlMessage, kServiceControlMessage, PM_NOREMOVE) &&
            suspended_.exchange(false)) {
            return; // a request is already waiting and nobody will resume us
        }
        SuspendThread(GetCurrentThread());
    }

    bool Suspended() const override { return suspended_.load(); }

private:
    void Resume() {
        if (thread_ == nullptr) {
            return;
        }
        for (int attempt = 0; attempt < kResumeAttempts; ++attempt) {
            const DWORD previous = ResumeThread(thread_);
            if (previous == static_cast<DWORD>(-1) || previous > 0) {
                return;
            }
            Sleep(1); // announced but not yet suspended
        }
    }

    std::atomic<DWORD> thread_id_{0};
    HANDLE thread_ = nullptr;
    std::atomic<bool> suspended_{false};
};

class Win32Binding final : public ServiceBinding {
public:
    std::uint32_t SendStatus(const ServiceStatusRecord& record) override {
        SERVICE_STATUS status{};
        status.dwServiceType = record.service_type;
        status.dwCurrentState = record.current_state;
        status.dwControlsAccepted = record.controls_accepted;
        status.dwWin32ExitCode = record.win32_exit_code;
        status.dwServiceSpecificExitCode = record.service_specific_exit_code;
        status.dwCheckPoint = record.check_point;
        status.dwWaitHint = record.wait_hint;
        return SetServiceStatus(status_handle.load(), &status) ? 0 : GetLastError();
    }
    std::unique_ptr<EventLogger> OpenEventSource(const std::string& source) override {
        return std::make_unique<Win32EventLogger>(source);
    }
    std::string SystemErrorText(std::uint32_t code) override { return telva::SystemErrorText(code); }
    std::unique_ptr<ControlRequestQueue> CreateRequestQueue() override {
        return std::make_unique<Win32MessageQueue>();
    }

    std::atomic<SERVICE_STATUS_HANDLE> status_handle{nullptr};
};

Win32Binding& TheBinding() {
    static Win32Binding binding;
    return binding;
}

void WINAPI ControlHandlerEntry(DWORD code) {
    ForwardControlRequest(code);
}

void WINAPI ServiceMainEntry(DWORD count, LPWSTR* arguments) {
    Service* service = ServiceInstance();
    if (service == nullptr || count == 0 || arguments == nullptr || arguments[0] == nullptr) {
        return;
    }
    const std::wstring name = Wide(service->name);
    if (CompareStringOrdinal(arguments[0], -1, name.c_str(), -1, TRUE) != CSTR_EQUAL) {
        return;
    }
    const SERVICE_STATUS_HANDLE handle = RegisterServiceCtrlHandlerW(name.c_str(), &ControlHandlerEntry);
    if (handle == nullptr) {
        service->LogMessage(SystemErrorText(GetLastError()));
        return;
    }
    TheBinding().status_handle.store(handle);
    service->RunService();
}

DWORD WINAPI DispatcherThread(LPVOID parameter) {
    std::wstring name = Wide(static_cast<Service*>(parameter)->name);
    SERVICE_TABLE_ENTRYW table[2] = {{name.data(), &ServiceMainEntry}, {nullptr, nullptr}};
    return StartServiceCtrlDispatcherW(table) ? 0 : GetLastError();
}

// The main thread's wait: serves the process's messages until the dispatcher thread has ended. The ending
// notices of a log-off or shut-down are ignored; they do not end the process.
void WaitServingMessages(HANDLE thread, EventLogger& application) {
    for (;;) {
        try {
            const DWORD woken = MsgWaitForMultipleObjects(1, &thread, FALSE, INFINITE, QS_ALLINPUT);
            if (woken == WAIT_OBJECT_0) {
                return;
            }
            if (woken == WAIT_FAILED) {
                application.LogMessage(SystemErrorText(GetLastError()));
                WaitForSingleObject(thread, INFINITE);
                return;
            }
            MSG message;
            while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
                if (message.message == WM_QUIT || message.message == WM_QUERYENDSESSION ||
                    message.message == WM_ENDSESSION) {
                    continue;
                }
                TranslateMessage(&message);
                DispatchMessageW(&message);
            }
        } catch (...) {
            application.LogMessage(CurrentErrorMessage());
        }
    }
}

} // namespace

ServiceBinding& PlatformServiceBinding() {
    return TheBinding();
}

ServiceProcessEnd RunServiceProcess(Service& service) {
    Win32EventLogger application(ApplicationSourceName());
    const HANDLE thread = CreateThread(nullptr, 0, &DispatcherThread, &service, 0, nullptr);
    if (thread == nullptr) {
        application.LogMessage(SystemErrorText(GetLastError()));
        return ServiceProcessEnd::Stopped;
    }
    WaitServingMessages(thread, application);
    DWORD result = 0;
    GetExitCodeThread(thread, &result);
    CloseHandle(thread);
    if (result != 0) {
        application.LogMessage(SystemErrorText(result));
    }
    return result == ERROR_FAILED_SERVICE_CONTROLLER_CONNECT ? ServiceProcessEnd::NotStartedByServiceManager
                                                             : ServiceProcessEnd::Stopped;
}

} // namespace telva
