#pragma once
// The systemd unit that registers the POSIX build to start with the machine: the counterpart of the
// Windows service registration (automatic start, own process, the display name as description).

#include <string>
#include <string_view>

namespace telva {

// The system user (and its group) the POSIX service runs as; also the name of its log directory under
// /var/log.
inline constexpr const char* kServiceUser = "telva4-audit";

// "<name>.service".
std::string SystemdUnitFileName(std::string_view service_name);

// The unit text: Type=notify, ExecStart the executable's full path, Description the display name,
// WantedBy=multi-user.target; the service user, its log directory, the capability for port 162 and the
// sandbox.
std::string SystemdUnitText(std::string_view executable_path, std::string_view display_name);

// The executable path as one ExecStart word: "%" doubled (systemd specifiers), quoted when it holds a
// blank, a quotation mark or a backslash.
std::string SystemdExecPath(std::string_view executable_path);

} // namespace telva
