#pragma once
// The program's state directory and the small files it keeps there (the reading history). A state file is
// replaced whole: the new content goes to a work file beside it, is flushed to the disk, and is then
// renamed over the old one, so that a crash or a power cut at any moment leaves either the old file or the
// new one. Paths are UTF-8 text. Errors are the system's codes (errno, GetLastError), 0 for success.

#include <cstddef>
#include <string>
#include <string_view>

namespace telva::platform {

// The program's state directory, ending in its separator: "/var/lib/telva4-audit/" on POSIX (the systemd
// unit's StateDirectory=, owned by the service's user); "%ProgramData%\TELVA4Audit\" on Windows.
std::string DefaultStateDirectory();

// Creates the directory `path` (one level) when it does not exist: on POSIX with mode 0750, on Windows
// readable and writable by Administrators and SYSTEM only, with that list protected from the parent's.
// An existing directory is left as it is. 0 when the directory is there afterwards.
int MakeStateDirectory(const std::string& path);

// Reads the file at `path` into `content`, at most `limit` + 1 bytes of it (so that a caller sees a file
// over its limit without reading all of it). A symbolic link at the path is not followed (POSIX).
int ReadStateFile(const std::string& path, std::size_t limit, std::string& content);

// Whether `error` means that the file or a directory on its path does not exist.
bool IsFileMissing(int error);

// Writes `bytes` as a new file at `path`, replacing a file left there before, and flushes it to the disk.
// The file is created readable by the owner and its group (POSIX 0640), or by Administrators and SYSTEM
// only (Windows); a link standing at the path is removed, never followed.
int WriteStateFileFlushed(const std::string& path, std::string_view bytes);

// Renames the file `from` over `to` (which may exist) and makes the rename itself durable: the directory
// is flushed after the rename on POSIX; MoveFileExW with MOVEFILE_WRITE_THROUGH on Windows.
int ReplaceStateFile(const std::string& from, const std::string& to);

// The system's words for `error`, on one line ("Permission denied", "Access is denied.").
std::string FileErrorText(int error);

} // namespace telva::platform
