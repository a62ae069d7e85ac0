#include "platform/state_files.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace telva::platform {
namespace {

// Closes `fd`, keeping the first error: a write-back error may show only at close.
int CloseKeepingError(int fd, int error) {
    if (close(fd) != 0 && error == 0) {
        error = errno;
    }
    return error;
}

int WriteAll(int fd, std::string_view bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t put = write(fd, bytes.data() + done, bytes.size() - done);
        if (put < 0 && errno == EINTR) {
            continue;
        }
        if (put < 0) {
            return errno;
        }
        if (put == 0) {
            return EIO;
        }
        done += static_cast<std::size_t>(put);
    }
    return 0;
}

std::string ParentDirectory(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

} // namespace

std::string DefaultStateDirectory() {
    return "/var/lib/telva4-audit/";
}

int MakeStateDirectory(const std::string& path) {
    if (mkdir(path.c_str(), 0750) == 0) {
        return 0;
    }
    const int error = errno;
    struct stat info {};
    if (error == EEXIST && stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
        return 0;
    }
    return error == EEXIST ? ENOTDIR : error;
}

int ReadStateFile(const std::string& path, std::size_t limit, std::string& content) {
    content.clear();
    const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return errno;
    }
    struct stat info {};
    if (fstat(fd, &info) != 0) {
        return CloseKeepingError(fd, errno);
    }
    if (!S_ISREG(info.st_mode)) {
        return CloseKeepingError(fd, S_ISDIR(info.st_mode) ? EISDIR : EINVAL);
    }
    char buffer[8192];
    while (content.size() <= limit) {
        const std::size_t want = std::min(sizeof buffer, limit + 1 - content.size());
        const ssize_t got = read(fd, buffer, want);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            return CloseKeepingError(fd, errno);
        }
        if (got == 0) {
            break;
        }
        content.append(buffer, static_cast<std::size_t>(got));
    }
    return CloseKeepingError(fd, 0);
}

bool IsFileMissing(int error) {
    return error == ENOENT || error == ENOTDIR;
}

int WriteStateFileFlushed(const std::string& path, std::string_view bytes) {
    if (unlink(path.c_str()) != 0 && errno != ENOENT) {
        return errno;
    }
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0640);
    if (fd < 0) {
        return errno;
    }
    int error = WriteAll(fd, bytes);
    if (error == 0 && fsync(fd) != 0) {
        error = errno;
    }
    error = CloseKeepingError(fd, error);
    if (error != 0) {
        unlink(path.c_str());
    }
    return error;
}

int ReplaceStateFile(const std::string& from, const std::string& to) {
    if (rename(from.c_str(), to.c_str()) != 0) {
        return errno;
    }
    // The rename is an entry of the directory: flushed with it, it survives a power cut.
    const int dir = open(ParentDirectory(to).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) {
        return errno;
    }
    return CloseKeepingError(dir, fsync(dir) == 0 ? 0 : errno);
}

std::string FileErrorText(int error) {
    return std::generic_category().message(error);
}

} // namespace telva::platform
