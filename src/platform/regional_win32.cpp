#include "platform/regional.h"
#include "platform/unicode.h"

#include <windows.h>

namespace telva::platform {
namespace {

std::string ReadLocaleItem(LCTYPE item, const char* fallback) {
    wchar_t buffer[16] = {};
    const int length = GetLocaleInfoW(GetThreadLocale(), item, buffer, 16);
    if (length <= 0) {
        return fallback;
    }
    const std::wstring text(buffer, static_cast<std::size_t>(length - 1));
    return Utf16ToUtf8(std::u16string(text.begin(), text.end()));
}

} // namespace

std::string DateSeparator() {
    return ReadLocaleItem(LOCALE_SDATE, "/");
}
std::string TimeSeparator() {
    return ReadLocaleItem(LOCALE_STIME, ":");
}
std::string DecimalSeparator() {
    return ReadLocaleItem(LOCALE_SDECIMAL, ".");
}

} // namespace telva::platform
