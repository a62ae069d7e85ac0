#include "service/system_error.h"

#include <cstring>

namespace telva {

std::string SystemErrorText(std::uint32_t code) {
    char buffer[256] = {};
    // The GNU variant may return a static text instead of filling the buffer.
    const char* text = strerror_r(static_cast<int>(code), buffer, sizeof buffer);
    return TrimSystemErrorText(text != nullptr ? text : buffer);
}

} // namespace telva
