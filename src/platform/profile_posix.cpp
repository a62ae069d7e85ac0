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

} // namespace telva::platform
