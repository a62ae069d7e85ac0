#pragma once

#include <string>

namespace telva::platform {

// Full path of the running executable as the OS reports it (UTF-8); empty when it cannot be read.
std::string ExecutablePath();

// Whether `path` is absolute: it begins with "/" on POSIX; with a drive letter, ":" and a separator, or
// with a separator, on Windows.
bool IsAbsolutePath(const std::string& path);

// The directory of the running executable, up to and including its last path separator.
std::string ExecutableDirectory();

} // namespace telva::platform
