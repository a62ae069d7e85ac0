#include "platform/system_proxy.h"

namespace telva::platform {

bool SystemProxySupported() {
    return false;
}

SystemProxyConfig ReadSystemProxy() {
    return {};
}

} // namespace telva::platform
