#include "platform/exe_path.h"

#include <climits>
#include <unistd.h>

namespace telva::platform {

std::string ExecutablePath() {
    char buffer[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", buffer, sizeof buffer);
    if (length <= 0 || static_cast<std::size_t>(length) >= sizeof buffer) {
        return {};
    }
    return std::string(buffer, static_cast<std::size_t>(length));
}

bool IsAbsolutePath(const std::string& path) {
    return !path.empty() && path.front() == '/';
}

} // namespace telva::platform
