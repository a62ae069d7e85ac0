#pragma once

#include <string>

namespace telva::platform {

// Full path of the running executable as the OS reports it (UTF-8); empty when it cannot be read.
std::string ExecutablePath();

// The directory of the running executable, up to and including its last path separator.
std::string ExecutableDirectory();

} // namespace telva::platform
