#include "platform/state_files.h"
#include "platform/wide_text_win32.h"

#include <windows.h>

#include <sddl.h>

#include <algorithm>

namespace telva::platform {
namespace {

// Full control for SYSTEM and the Administrators group and nothing for anyone else; "P" protects the list
// from what the parent directory would pass down. The directory's entries pass to what is created in it.
constexpr const wchar_t* kDirectoryAccess = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
constexpr const wchar_t* kFileAccess = L"D:P(A;;FA;;;SY)(A;;FA;;;BA)";

// A security descriptor made from its text form, for the creation of one file or directory.
class Security {
public:
    explicit Security(const wchar_t* sddl) {
        if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor_,
                                                                  nullptr)) {
            error_ = GetLastError();
            descriptor_ = nullptr;
        }
        attributes_.nLength = sizeof attributes_;
        attributes_.lpSecurityDescriptor = descriptor_;
        attributes_.bInheritHandle = FALSE;
    }
    ~Security() {
        if (descriptor_ != nullptr) {
            LocalFree(descriptor_);
        }
    }
    Security(const Security&) = delete;
    Security& operator=(const Security&) = delete;

    DWORD error() const { return error_; }
    SECURITY_ATTRIBUTES* attributes() { return &attributes_; }

private:
    PSECURITY_DESCRIPTOR descriptor_ = nullptr;
    SECURITY_ATTRIBUTES attributes_{};
    DWORD error_ = 0;
};

int Code(DWORD error) {
    return static_cast<int>(error);
}

} // namespace

std::string DefaultStateDirectory() {
    wchar_t buffer[MAX_PATH] = {};
    const DWORD length = GetEnvironmentVariableW(L"ProgramData", buffer, MAX_PATH);
    std::wstring base = length > 0 && length < MAX_PATH ? std::wstring(buffer, length) : L"C:\\ProgramData";
    if (base.back() != L'\\') {
        base += L'\\';
    }
    return Narrow(base) + "TELVA4Audit\\";
}

int MakeStateDirectory(const std::string& path) {
    Security security(kDirectoryAccess);
    if (security.error() != 0) {
        return Code(security.error());
    }
    if (CreateDirectoryW(Wide(path).c_str(), security.attributes())) {
        return 0;
    }
    const DWORD error = GetLastError();
    const DWORD attributes = GetFileAttributesW(Wide(path).c_str());
    if (error == ERROR_ALREADY_EXISTS && attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return 0;
    }
    return Code(error == ERROR_ALREADY_EXISTS ? ERROR_DIRECTORY : error);
}

int ReadStateFile(const std::string& path, std::size_t limit, std::string& content) {
    content.clear();
    const HANDLE file = CreateFileW(Wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return Code(GetLastError());
    }
    char buffer[8192];
    DWORD error = 0;
    while (content.size() <= limit) {
        const std::size_t want = std::min(sizeof buffer, limit + 1 - content.size());
        DWORD got = 0;
        if (!ReadFile(file, buffer, static_cast<DWORD>(want), &got, nullptr)) {
            error = GetLastError();
            break;
        }
        if (got == 0) {
            break;
        }
        content.append(buffer, got);
    }
    CloseHandle(file);
    return Code(error);
}

bool IsFileMissing(int error) {
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

int WriteStateFileFlushed(const std::string& path, std::string_view bytes) {
    const std::wstring wide = Wide(path);
    // A file left there is removed first: an existing file would keep its own access list.
    if (!DeleteFileW(wide.c_str()) && GetLastError() != ERROR_FILE_NOT_FOUND) {
        return Code(GetLastError());
    }
    Security security(kFileAccess);
    if (security.error() != 0) {
        return Code(security.error());
    }
    const HANDLE file = CreateFileW(wide.c_str(), GENERIC_WRITE, 0, security.attributes(), CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return Code(GetLastError());
    }
    DWORD error = 0;
    std::size_t done = 0;
    while (done < bytes.size() && error == 0) {
        DWORD put = 0;
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, 1 << 20));
        if (!WriteFile(file, bytes.data() + done, chunk, &put, nullptr)) {
            error = GetLastError();
        } else if (put == 0) {
            error = ERROR_WRITE_FAULT;
        }
        done += put;
    }
    if (error == 0 && !FlushFileBuffers(file)) {
        error = GetLastError();
    }
    CloseHandle(file);
    if (error != 0) {
        DeleteFileW(wide.c_str());
    }
    return Code(error);
}

int ReplaceStateFile(const std::string& from, const std::string& to) {
    if (!MoveFileExW(Wide(from).c_str(), Wide(to).c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        return Code(GetLastError());
    }
    return 0;
}

std::string FileErrorText(int error) {
    wchar_t buffer[512] = {};
    const DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                        static_cast<DWORD>(error), 0, buffer, 512, nullptr);
    std::string text = Narrow(std::wstring_view(buffer, length));
    for (char& c : text) {
        if (c == '\r' || c == '\n') {
            c = ' ';
        }
    }
    while (!text.empty() && text.back() == ' ') {
        text.pop_back();
    }
    return text.empty() ? "system error " + std::to_string(error) : text;
}

} // namespace telva::platform
