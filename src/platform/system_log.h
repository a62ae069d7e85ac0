#pragma once
// One warning to the system's log: syslog on POSIX, under the ident "TELVA4Audit"; the Windows build does
// not use it.

#include <string>

namespace telva::platform {

void SystemLogWarning(const std::string& source, const std::string& message);

} // namespace telva::platform
