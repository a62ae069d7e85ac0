#include "platform/files.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace telva::platform {

struct AppendFile::Handle {
    int fd = -1;
    ~Handle() {
        if (fd >= 0) {
            close(fd);
        }
    }
};

namespace {

bool LockWhole(int fd) {
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = 0;
    lock.l_len = 0;
    return fcntl(fd, F_SETLK, &lock) == 0;
}

} // namespace

bool FileExists(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0;
}

bool CreateEmptyFile(const std::string& path) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        return false;
    }
    const bool ok = LockWhole(fd) && ftruncate(fd, 0) == 0;
    close(fd);
    return ok;
}

std::optional<std::string> ReadWholeFile(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return std::nullopt;
    }
    std::string content;
    char buffer[8192];
    for (;;) {
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            close(fd);
            return std::nullopt;
        }
        if (got == 0) {
            break;
        }
        content.append(buffer, static_cast<std::size_t>(got));
    }
    close(fd);
    return content;
}

LogFileOpening OpenLogFile(const std::string& path) {
    LogFileOpening result;
    auto handle = std::make_unique<AppendFile::Handle>();
    // O_NONBLOCK keeps a fifo planted at the path from holding the open; it is refused below.
    constexpr int kFlags = O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    handle->fd = open(path.c_str(), kFlags);
    if (handle->fd < 0 && errno == ENOENT) {
        // Created only where nothing stands, and never through a link planted meanwhile.
        handle->fd = open(path.c_str(), kFlags | O_CREAT | O_EXCL, 0640);
        if (handle->fd < 0 && errno == EEXIST) {
            handle->fd = open(path.c_str(), kFlags);
        }
    }
    if (handle->fd < 0) {
        result.refused = errno == ELOOP; // a symbolic link at the path
        return result;
    }
    struct stat info {};
    if (fstat(handle->fd, &info) != 0) {
        return result;
    }
    if (!S_ISREG(info.st_mode) || info.st_nlink != 1 || info.st_uid != geteuid()) {
        result.refused = true;
        return result;
    }
    const int flags = fcntl(handle->fd, F_GETFL);
    if (flags < 0 || fcntl(handle->fd, F_SETFL, flags & ~O_NONBLOCK) != 0 || !LockWhole(handle->fd)) {
        return result;
    }
    result.file = AppendFile(std::move(handle));
    return result;
}

bool FileReadableByOthers(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && (info.st_mode & S_IROTH) != 0;
}

bool MakeDirectory(const std::string& path) {
    std::string name = path;
    while (name.size() > 1 && name.back() == '/') {
        name.pop_back();
    }
    if (mkdir(name.c_str(), 0750) == 0) {
        return true;
    }
    struct stat info {};
    return errno == EEXIST && stat(name.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool DirectoryOfAnotherUser(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid != geteuid();
}

std::optional<AppendFile> AppendFile::OpenExisting(const std::string& path) {
    auto handle = std::make_unique<Handle>();
    handle->fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (handle->fd < 0 || !LockWhole(handle->fd)) {
        return std::nullopt;
    }
    return AppendFile(std::move(handle));
}

AppendFile::AppendFile(std::unique_ptr<Handle> handle) : handle_(std::move(handle)) {}
AppendFile::AppendFile(AppendFile&&) noexcept = default;
AppendFile& AppendFile::operator=(AppendFile&&) noexcept = default;
AppendFile::~AppendFile() = default;

std::optional<std::uint64_t> AppendFile::Size() {
    struct stat info {};
    if (fstat(handle_->fd, &info) != 0) {
        return std::nullopt;
    }
    return static_cast<std::uint64_t>(info.st_size);
}

std::optional<std::string> AppendFile::ReadAt(std::uint64_t offset, std::size_t max_bytes) {
    std::string bytes(max_bytes, '\0');
    std::size_t done = 0;
    while (done < max_bytes) {
        const ssize_t got =
            pread(handle_->fd, bytes.data() + done, max_bytes - done, static_cast<off_t>(offset + done));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            return std::nullopt;
        }
        if (got == 0) {
            break;
        }
        done += static_cast<std::size_t>(got);
    }
    bytes.resize(done);
    return bytes;
}

bool AppendFile::Truncate(std::uint64_t size) {
    return ftruncate(handle_->fd, static_cast<off_t>(size)) == 0;
}

bool AppendFile::Append(std::string_view bytes) {
    if (lseek(handle_->fd, 0, SEEK_END) < 0) {
        return false;
    }
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t put = write(handle_->fd, bytes.data() + done, bytes.size() - done);
        if (put < 0 && errno == EINTR) {
            continue;
        }
        if (put <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(put);
    }
    return true;
}

} // namespace telva::platform

namespace telva::platform {

std::string DefaultLogDirectory() {
    return "/var/log/telva4-audit/";
}

} // namespace telva::platform
