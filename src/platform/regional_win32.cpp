#include "platform/regional.h"
#include "platform/wide_text_win32.h"

#include <windows.h>

namespace telva::platform {
namespace {

std::string ReadLocaleItem(LCTYPE item, const char* fallback) {
    wchar_t buffer[16] = {};
    const int length = GetLocaleInfoW(GetThreadLocale(), item, buffer, 16);
    if (length <= 0) {
        return fallback;
    }
    return Narrow(std::wstring_view(buffer, static_cast<std::size_t>(length - 1)));
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
