// Windows installation: the service registration with the service control manager, and message boxes.

#include "platform/exe_path.h"
#include "platform/unicode.h"
#include "platform/wide_text_win32.h"
#include "service/install.h"
#include "service/service.h"
#include "service/system_error.h"

#include <windows.h>

namespace telva {

using platform::Wide;
namespace {

std::string FailedCallText(DWORD error) {
    return SystemCallErrorText(error, SystemErrorText(error));
}

SC_HANDLE OpenServiceManager() {
    const SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (manager == nullptr) {
        throw SystemCallError(GetLastError());
    }
    return manager;
}

} // namespace

void ShowMessage(const std::string& text, MessageKind kind, const std::string& caption) {
    const UINT icon = kind == MessageKind::Error ? MB_ICONERROR : MB_ICONINFORMATION;
    MessageBoxW(nullptr, Wide(text).c_str(), Wide(caption).c_str(), MB_OK | icon | MB_SETFOREGROUND);
}

bool InstallService(const Service& service, bool silent) {
    const SC_HANDLE manager = OpenServiceManager();
    const std::wstring name = Wide(service.name);
    const std::wstring display_name = Wide(service.display_name);
    const std::wstring binary_path = Wide(platform::ExecutablePath());
    static const wchar_t kNoDependencies[2] = {0, 0};
    const SC_HANDLE handle =
        CreateServiceW(manager, name.c_str(), display_name.c_str(), SERVICE_ALL_ACCESS,
                       kServiceTypeOwnProcess, kStartTypeAuto, kErrorControlNormal, binary_path.c_str(),
                       nullptr, nullptr, kNoDependencies, nullptr, nullptr);
    const DWORD error = handle == nullptr ? GetLastError() : 0;
    if (handle != nullptr) {
        CloseServiceHandle(handle);
    }
    if (error != 0) {
        ShowMessage(InstallFailedText(service.display_name, FailedCallText(error)), MessageKind::Error,
                    service.display_name);
    }
    CloseServiceHandle(manager);
    if (error == 0 && !silent) {
        ShowMessage(kInstalledText, MessageKind::Information, service.display_name);
    }
    return error == 0;
}

bool UninstallService(const Service& service, bool silent) {
    const SC_HANDLE manager = OpenServiceManager();
    const std::wstring name = Wide(service.name);
    DWORD error = 0;
    const SC_HANDLE handle = OpenServiceW(manager, name.c_str(), SERVICE_ALL_ACCESS);
    if (handle == nullptr) {
        error = GetLastError();
    } else {
        if (!DeleteService(handle)) {
            error = GetLastError();
        }
        CloseServiceHandle(handle);
    }
    if (error != 0) {
        ShowMessage(UninstallFailedText(service.display_name, FailedCallText(error)), MessageKind::Error,
                    service.display_name);
    }
    CloseServiceHandle(manager);
    if (error == 0 && !silent) {
        ShowMessage(kUninstalledText, MessageKind::Information, service.display_name);
    }
    return error == 0;
}

} // namespace telva
