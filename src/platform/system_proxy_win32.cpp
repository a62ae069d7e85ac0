#include "platform/system_proxy.h"

#include <windows.h>

#include <winhttp.h>

#include "platform/wide_text_win32.h"

namespace telva::platform {

bool SystemProxySupported() {
    return true;
}

SystemProxyConfig ReadSystemProxy() {
    SystemProxyConfig config;
    WINHTTP_PROXY_INFO info{};
    if (!WinHttpGetDefaultProxyConfiguration(&info)) {
        return config;
    }
    if (info.dwAccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY && info.lpszProxy != nullptr) {
        config.proxies = Narrow(info.lpszProxy);
        if (info.lpszProxyBypass != nullptr) {
            config.bypass = Narrow(info.lpszProxyBypass);
        }
    }
    if (info.lpszProxy != nullptr) {
        GlobalFree(info.lpszProxy);
    }
    if (info.lpszProxyBypass != nullptr) {
        GlobalFree(info.lpszProxyBypass);
    }
    return config;
}

} // namespace telva::platform
