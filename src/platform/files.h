#pragma once
// The file operations the daily log and the settings reader need. Paths are UTF-8 text.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace telva::platform {

bool FileExists(const std::string& path);

// Creates (or empties) the file: write access, shared for reading only. False when it cannot.
bool CreateEmptyFile(const std::string& path);

// Reads a whole file; none when it cannot be opened or read.
std::optional<std::string> ReadWholeFile(const std::string& path);

struct LogFileOpening;

// A file opened for reading and writing while other programs may only read it. On Windows the sharing
// mode enforces that; on POSIX an advisory write lock covers the whole file, so a cooperating writer (or
// one holding the lock itself) makes the open fail.
class AppendFile {
public:
    struct Handle;

    // Opens an existing file; none when it does not exist or cannot be opened with those rules.
    static std::optional<AppendFile> OpenExisting(const std::string& path);

    AppendFile(AppendFile&&) noexcept;
    AppendFile& operator=(AppendFile&&) noexcept;
    ~AppendFile();

    std::optional<std::uint64_t> Size();
    // Reads the bytes from offset to the end of the file, at most max_bytes of them.
    std::optional<std::string> ReadAt(std::uint64_t offset, std::size_t max_bytes);
    bool Truncate(std::uint64_t size);
    // Writes all bytes at the end of the file.
    bool Append(std::string_view bytes);

private:
    friend LogFileOpening OpenLogFile(const std::string& path);
    explicit AppendFile(std::unique_ptr<Handle> handle);
    std::unique_ptr<Handle> handle_;
};

// The outcome of opening a daily log file: the file, or why there is none. `refused` means something
// stands at the path that the log must not write to (see OpenLogFile).
struct LogFileOpening {
    std::optional<AppendFile> file;
    bool refused = false;
};

// Opens the daily log file at `path` for appending with the sharing rules of AppendFile, creating it
// empty when it does not exist. On POSIX neither step follows a symbolic link, and an existing file is
// used only when it is a regular file with a single link, owned by the process's effective user: anything
// else (a link planted in the directory, another user's file, a device, a fifo) is refused and left alone.
// On Windows the file is created when absent and then opened, as before.
LogFileOpening OpenLogFile(const std::string& path);

// Whether users other than the file's owner and group may read the file (POSIX permission bits; always
// false on Windows, whose files carry access lists instead).
bool FileReadableByOthers(const std::string& path);

// Creates the directory at `path` (whose parent must exist) unless one stands there already; on POSIX with
// mode 0750, as the service's unit makes its log directory. True when a directory stands there afterwards.
bool MakeDirectory(const std::string& path);

// Whether the directory at `path` exists and belongs to a user other than the process's effective user
// (POSIX; always false on Windows). The daily log there is then not this process's to write.
bool DirectoryOfAnotherUser(const std::string& path);

} // namespace telva::platform

namespace telva::platform {

// The fixed directory of the daily log files, ending in its separator: "C:\Windows\Temp\" on Windows,
// "/var/log/telva4-audit/" on POSIX (the systemd unit's LogsDirectory, owned by the service's user).
std::string DefaultLogDirectory();

} // namespace telva::platform
