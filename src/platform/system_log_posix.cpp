#include "platform/system_log.h"

#include <syslog.h>

namespace telva::platform {

void SystemLogWarning(const std::string& source, const std::string& message) {
    openlog(source.c_str(), LOG_PID, LOG_DAEMON);
    syslog(LOG_WARNING, "%s", message.c_str());
    closelog();
}

} // namespace telva::platform
