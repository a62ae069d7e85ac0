#pragma once
// The machine's 8-bit text encoding for the daily log.

#include <string>
#include <string_view>

namespace telva::platform {

// Windows: the ANSI code page, as WideCharToMultiByte does it with no flags (best fit or '?').
// POSIX: UTF-8, with a lone surrogate written as '?'.
std::string ToLogEncoding(std::string_view utf8);

} // namespace telva::platform
