#include "platform/profile_text.h"
#include "platform/profile.h"
#include "platform/unicode.h"
#include "text/ascii.h"

namespace telva::platform {
namespace {

// Cuts text to at most kProfileValueMaxUnits UTF-16 code units without splitting a character.
std::string CutValue(std::string_view value) {
    const std::u16string units = Utf8ToUtf16(value);
    if (units.size() <= kProfileValueMaxUnits) {
        return std::string(value);
    }
    std::size_t keep = kProfileValueMaxUnits;
    if (units[keep - 1] >= 0xD800 && units[keep - 1] < 0xDC00) {
        --keep; // a pair that would be split goes whole
    }
    return Utf16ToUtf8(std::u16string_view(units).substr(0, keep));
}

} // namespace

std::optional<std::string> FindProfileValue(std::string_view content, std::string_view section,
                                            std::string_view key) {
    if (content.substr(0, 3) == "\xEF\xBB\xBF") {
        content.remove_prefix(3);
    }
    bool in_section = false;
    std::size_t pos = 0;
    while (pos < content.size()) {
        std::size_t end = content.find_first_of("\r\n", pos);
        if (end == std::string_view::npos) {
            end = content.size();
        }
        const std::string_view line = TrimBlanks(content.substr(pos, end - pos));
        pos = end;
        if (pos < content.size() && content[pos] == '\r') {
            ++pos;
        }
        if (pos < content.size() && content[pos] == '\n') {
            ++pos;
        }
        if (line.empty() || line.front() == ';') {
            continue;
        }
        if (line.front() == '[') {
            const std::size_t close = line.find(']');
            const std::string_view name =
                TrimBlanks(line.substr(1, close == std::string_view::npos ? line.size() - 1 : close - 1));
            in_section = EqualsIgnoringAsciiCase(name, section);
            continue;
        }
        if (!in_section) {
            continue;
        }
        const std::size_t equals = line.find('=');
        if (equals == std::string_view::npos ||
            !EqualsIgnoringAsciiCase(TrimBlanks(line.substr(0, equals)), key)) {
            continue;
        }
        std::string_view value = TrimBlanks(line.substr(equals + 1));
        if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
            value.back() == value.front()) {
            value = value.substr(1, value.size() - 2);
        }
        return CutValue(value);
    }
    return std::nullopt;
}

} // namespace telva::platform
