#include "platform/text8.h"
#include "platform/unicode.h"

#include <windows.h>

namespace telva::platform {

std::string ToLogEncoding(std::string_view utf8) {
    const std::u16string units = Utf8ToUtf16(utf8);
    if (units.empty()) {
        return {};
    }
    const auto* wide = reinterpret_cast<const wchar_t*>(units.data());
    const int count = static_cast<int>(units.size());
    const int size = WideCharToMultiByte(CP_ACP, 0, wide, count, nullptr, 0, nullptr, nullptr);
    if (size <= 0) {
        return std::string(units.size(), '?');
    }
    std::string bytes(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_ACP, 0, wide, count, bytes.data(), size, nullptr, nullptr);
    return bytes;
}

} // namespace telva::platform
