#include "platform/files.h"
#include "platform/profile.h"
#include "platform/profile_text.h"

namespace telva::platform {

std::string ReadProfileString(const std::string& path, const std::string& section, const std::string& key,
                              const std::string& default_value) {
    const std::optional<std::string> content = ReadWholeFile(path);
    if (!content) {
        return default_value;
    }
    return FindProfileValue(*content, section, key).value_or(default_value);
}

bool ProfileFileReadable(const std::string& path) {
    const std::optional<std::string> content = ReadWholeFile(path);
    if (!content) {
        return false;
    }
    // UTF-16 text starts with its byte-order mark, or shows NUL bytes between ASCII characters.
    const bool utf16_mark = content->starts_with("\xFF\xFE") || content->starts_with("\xFE\xFF");
    return !utf16_mark && content->find('\0') == std::string::npos;
}

} // namespace telva::platform
