#pragma once
// Self-installation: registers the service with the platform's service manager, or removes the
// registration, and shows the result.

#include <string>
#include <string_view>

namespace telva {

class Service;

inline constexpr const char* kInstalledText = "Service installed successfully";
inline constexpr const char* kUninstalledText = "Service uninstalled successfully";

// Service "<display name>" failed to install with error: "<error text>" (and likewise for uninstall).
std::string InstallFailedText(std::string_view display_name, std::string_view error_text);
std::string UninstallFailedText(std::string_view display_name, std::string_view error_text);

enum class MessageKind { Information, Error };

// A modal message box with one OK button on Windows; stdout (information) or stderr (error) on POSIX.
void ShowMessage(const std::string& text, MessageKind kind, const std::string& caption);

// Register or remove `service`. A failure of the registration itself is shown in an error message (also
// when silent) and gives false; success is shown unless silent. When the service manager cannot be opened
// the error is raised (SystemCallError) to the caller.
bool InstallService(const Service& service, bool silent);
bool UninstallService(const Service& service, bool silent);

// The program's install and uninstall commands: the calls above, with an error that escapes them shown
// in an "Application Error" message. The exit status: 0 on success, 1 after any failure.
int RunInstallCommand(const Service& service, bool install, bool silent);

} // namespace telva
