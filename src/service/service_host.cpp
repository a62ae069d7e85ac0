#include "service/service_host.h"

#include "platform/exe_path.h"

namespace telva {

std::string ApplicationSourceName() {
    const std::string path = platform::ExecutablePath();
    const auto last = path.find_last_of("\\/");
    const std::string name = last == std::string::npos ? path : path.substr(last + 1);
    return name.empty() ? std::string("telva4_audit") : name;
}

} // namespace telva
