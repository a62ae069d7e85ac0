#include "platform/regional.h"

namespace telva::platform {

// A POSIX system has no per-account regional items for these; the service uses the common ones.
std::string DateSeparator() {
    return "/";
}
std::string TimeSeparator() {
    return ":";
}
std::string DecimalSeparator() {
    return ".";
}

} // namespace telva::platform
