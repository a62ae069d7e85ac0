#include "platform/files.h"
#include "platform/unicode.h"
#include "platform/wide_text_win32.h"

#include <windows.h>

namespace telva::platform {

struct AppendFile::Handle {
    HANDLE file = INVALID_HANDLE_VALUE;
    ~Handle() {
        if (file != INVALID_HANDLE_VALUE) {
            CloseHandle(file);
        }
    }
};

namespace {} // namespace

bool FileExists(const std::string& path) {
    return GetFileAttributesW(Wide(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool CreateEmptyFile(const std::string& path) {
    const HANDLE file = CreateFileW(Wide(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                    CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    CloseHandle(file);
    return true;
}

std::optional<std::string> ReadWholeFile(const std::string& path) {
    const HANDLE file = CreateFileW(Wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return std::nullopt;
    }
    std::string content;
    char buffer[8192];
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(file, buffer, sizeof buffer, &got, nullptr)) {
            CloseHandle(file);
            return std::nullopt;
        }
        if (got == 0) {
            break;
        }
        content.append(buffer, got);
    }
    CloseHandle(file);
    return content;
}

LogFileOpening OpenLogFile(const std::string& path) {
    LogFileOpening result;
    if (!FileExists(path) && !CreateEmptyFile(path)) {
        return result;
    }
    result.file = AppendFile::OpenExisting(path);
    return result;
}

bool FileReadableByOthers(const std::string&) {
    return false;
}

bool MakeDirectory(const std::string& path) {
    std::string name = path;
    while (name.size() > 3 && (name.back() == '\\' || name.back() == '/')) {
        name.pop_back();
    }
    const std::wstring wide = Wide(name);
    if (CreateDirectoryW(wide.c_str(), nullptr)) {
        return true;
    }
    const DWORD attributes = GetFileAttributesW(wide.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool DirectoryOfAnotherUser(const std::string&) {
    return false;
}

std::optional<AppendFile> AppendFile::OpenExisting(const std::string& path) {
    auto handle = std::make_unique<Handle>();
    handle->file = CreateFileW(Wide(path).c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle->file == INVALID_HANDLE_VALUE) {
        return std::nullopt;
    }
    return AppendFile(std::move(handle));
}

AppendFile::AppendFile(std::unique_ptr<Handle> handle) : handle_(std::move(handle)) {}
AppendFile::AppendFile(AppendFile&&) noexcept = default;
AppendFile& AppendFile::operator=(AppendFile&&) noexcept = default;
AppendFile::~AppendFile() = default;

std::optional<std::uint64_t> AppendFile::Size() {
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(handle_->file, &size)) {
        return std::nullopt;
    }
    return static_cast<std::uint64_t>(size.QuadPart);
}

std::optional<std::string> AppendFile::ReadAt(std::uint64_t offset, std::size_t max_bytes) {
    LARGE_INTEGER position{};
    position.QuadPart = static_cast<LONGLONG>(offset);
    if (!SetFilePointerEx(handle_->file, position, nullptr, FILE_BEGIN)) {
        return std::nullopt;
    }
    std::string bytes(max_bytes, '\0');
    std::size_t done = 0;
    while (done < max_bytes) {
        DWORD got = 0;
        if (!ReadFile(handle_->file, bytes.data() + done, static_cast<DWORD>(max_bytes - done), &got,
                      nullptr)) {
            return std::nullopt;
        }
        if (got == 0) {
            break;
        }
        done += got;
    }
    bytes.resize(done);
    return bytes;
}

bool AppendFile::Truncate(std::uint64_t size) {
    LARGE_INTEGER position{};
    position.QuadPart = static_cast<LONGLONG>(size);
    return SetFilePointerEx(handle_->file, position, nullptr, FILE_BEGIN) && SetEndOfFile(handle_->file);
}

bool AppendFile::Append(std::string_view bytes) {
    LARGE_INTEGER zero{};
    if (!SetFilePointerEx(handle_->file, zero, nullptr, FILE_END)) {
        return false;
    }
    std::size_t done = 0;
    while (done < bytes.size()) {
        DWORD put = 0;
        if (!WriteFile(handle_->file, bytes.data() + done, static_cast<DWORD>(bytes.size() - done), &put,
                       nullptr) ||
            put == 0) {
            return false;
        }
        done += put;
    }
    return true;
}

} // namespace telva::platform

namespace telva::platform {

std::string DefaultLogDirectory() {
    return "C:\\Windows\\Temp\\";
}

} // namespace telva::platform
