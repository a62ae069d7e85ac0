#include "platform/unicode.h"
#include "service/system_error.h"

#include <windows.h>

namespace telva {

std::string SystemErrorText(std::uint32_t code) {
    wchar_t buffer[512] = {};
    const DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS |
                                            FORMAT_MESSAGE_ARGUMENT_ARRAY,
                                        nullptr, code, 0, buffer, 512, nullptr);
    const std::u16string text(reinterpret_cast<const char16_t*>(buffer), length);
    return TrimSystemErrorText(platform::Utf16ToUtf8(text));
}

} // namespace telva
