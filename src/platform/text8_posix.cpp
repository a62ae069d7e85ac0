#include "platform/text8.h"
#include "platform/unicode.h"

namespace telva::platform {

std::string ToLogEncoding(std::string_view utf8) {
    const std::u16string units = Utf8ToUtf16(utf8);
    std::u16string clean;
    clean.reserve(units.size());
    for (std::size_t i = 0; i < units.size(); ++i) {
        const char16_t unit = units[i];
        const bool high = unit >= 0xD800 && unit < 0xDC00;
        const bool low = unit >= 0xDC00 && unit < 0xE000;
        if (high && i + 1 < units.size() && units[i + 1] >= 0xDC00 && units[i + 1] < 0xE000) {
            clean.push_back(unit);
            clean.push_back(units[++i]);
        } else if (high || low) {
            clean.push_back(u'?');
        } else {
            clean.push_back(unit);
        }
    }
    return Utf16ToUtf8(clean);
}

} // namespace telva::platform
