#pragma once
// The systemd unit that registers the POSIX build to start with the machine: the counterpart of the
// Windows service registration (automatic start, own process, the display name as description).

#include <string>
#include <string_view>

namespace telva {

// "<name>.service".
std::string SystemdUnitFileName(std::string_view service_name);

// The unit text: Type=notify, ExecStart the executable's full path, Description the display name,
// WantedBy=multi-user.target.
std::string SystemdUnitText(std::string_view executable_path, std::string_view display_name);

// The executable path as one ExecStart word: "%" doubled (systemd specifiers), quoted when it holds a
// blank, a quotation mark or a backslash.
std::string SystemdExecPath(std::string_view executable_path);

} // namespace telva
