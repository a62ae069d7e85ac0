#include "platform/profile.h"
#include "platform/wide_text_win32.h"

#include <windows.h>

#include <vector>

namespace telva::platform {

std::string ReadProfileString(const std::string& path, const std::string& section, const std::string& key,
                              const std::string& default_value) {
    const std::wstring file = Wide(path);
    std::vector<wchar_t> buffer(kProfileValueMaxUnits + 1);
    const DWORD copied =
        GetPrivateProfileStringW(Wide(section).c_str(), Wide(key).c_str(), Wide(default_value).c_str(),
                                 buffer.data(), static_cast<DWORD>(buffer.size()), file.c_str());
    // Drop any cached copy of the file; this writes nothing.
    WritePrivateProfileStringW(nullptr, nullptr, nullptr, file.c_str());
    return Narrow(std::wstring_view(buffer.data(), copied));
}

bool ProfileFileReadable(const std::string& path) {
    const HANDLE file = CreateFileW(Wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    CloseHandle(file);
    return true;
}

} // namespace telva::platform
