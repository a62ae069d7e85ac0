#pragma once
// The POSIX installation with its locations made explicit, so that tests install into a directory of
// their own without touching the machine's init system. Only the POSIX build has it.

#include <string>

namespace telva {

class Service;

struct UnitInstallTarget {
    std::string unit_directory;   // ending in "/"; "/etc/systemd/system/" for the real installation
    std::string executable_path;  // the ExecStart program
    std::string systemctl;        // the systemctl program; empty when none is to be run
    bool systemd_running = false; // whether "systemctl daemon-reload" has a manager to talk to
    std::string account;          // the system user the unit runs as; empty: none is checked or created
    std::string useradd;          // the program that creates it when it does not exist; empty when none
    std::string settings_path;    // the settings file, left to root and the account's group (0640)
};

// The real installation's target: the machine's unit directory, this executable, systemctl when present.
UnitInstallTarget SystemUnitTarget();

// "-install": the unit directory must be writable (else SystemCallError, the service manager that
// cannot be opened); the service's system user is created when it does not exist; an existing settings
// file becomes root's, of the user's group, mode 0640; the unit file is created (an existing one is a
// failure: "File exists"); then daemon-reload and enable. "-uninstall": disable, remove the unit file,
// daemon-reload; the user stays, as the owner of the daily logs. True on success; a failure has been shown.
// `silent` also keeps systemctl's own output quiet.
bool InstallServiceUnit(const Service& service, const UnitInstallTarget& target, bool silent);
bool UninstallServiceUnit(const Service& service, const UnitInstallTarget& target, bool silent);

} // namespace telva
