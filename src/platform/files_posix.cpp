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
    return "/var/tmp/";
}

} // namespace telva::platform
