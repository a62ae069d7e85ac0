#pragma once
// Separators of the regional settings the service runs under. Each call reads the current setting, so a
// change of the regional settings takes effect at the next use.

#include <string>

namespace telva::platform {

std::string DateSeparator();    // whole locale item; "/" when unreadable
std::string TimeSeparator();    // whole locale item; ":" when unreadable (may be empty)
std::string DecimalSeparator(); // whole locale item; "." when unreadable

} // namespace telva::platform
