#include "platform/exe_path.h"

namespace telva::platform {

std::string ExecutableDirectory() {
    const std::string path = ExecutablePath();
    const auto last = path.find_last_of("\\/");
    return last == std::string::npos ? std::string() : path.substr(0, last + 1);
}

} // namespace telva::platform
