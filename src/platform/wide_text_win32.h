#pragma once
// Windows only: text for the W APIs, whose wchar_t strings hold UTF-16 code units.

#include "platform/unicode.h"

#include <string>
#include <string_view>

namespace telva::platform {

inline std::wstring Wide(std::string_view utf8) {
    const std::u16string units = Utf8ToUtf16(utf8);
    return std::wstring(units.begin(), units.end());
}

inline std::string Narrow(std::wstring_view wide) {
    return Utf16ToUtf8(std::u16string(wide.begin(), wide.end()));
}

} // namespace telva::platform
