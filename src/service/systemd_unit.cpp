#include "service/systemd_unit.h"

namespace telva {

std::string SystemdUnitFileName(std::string_view service_name) {
    return std::string(service_name) + ".service";
}

std::string SystemdExecPath(std::string_view executable_path) {
    std::string escaped;
    bool needs_quotes = false;
    for (const char c : executable_path) {
        if (c == '%') {
            escaped += "%%";
            continue;
        }
        if (c == ' ' || c == '\t' || c == '"' || c == '\\' || c == '\'') {
            needs_quotes = true;
        }
        if (c == '"' || c == '\\') {
            escaped += '\\';
        }
        escaped += c;
    }
    return needs_quotes ? "\"" + escaped + "\"" : escaped;
}

std::string SystemdUnitText(std::string_view executable_path, std::string_view display_name) {
    std::string text;
    text += "[Unit]\n";
    text += "Description=" + std::string(display_name) + "\n";
    text += "Wants=network-online.target\n";
    text += "After=network-online.target\n";
    text += "\n";
    text += "[Service]\n";
    // Least privilege: a system user of its own, the one capability that lets it hold UDP port 162, and a
    // sandbox that leaves it the network, its settings file (read-only, through the group), its log
    // directory and its state directory (the reading history). The README says which lines an
    // administrator may loosen.
    text += "User=" + std::string(kServiceUser) + "\n";
    text += "Group=" + std::string(kServiceUser) + "\n";
    text += "LogsDirectory=" + std::string(kServiceUser) + "\n";
    text += "LogsDirectoryMode=0750\n";
    text += "StateDirectory=" + std::string(kServiceUser) + "\n";
    text += "StateDirectoryMode=0750\n";
    text += "UMask=0027\n";
    text += "AmbientCapabilities=CAP_NET_BIND_SERVICE\n";
    text += "CapabilityBoundingSet=CAP_NET_BIND_SERVICE\n";
    text += "NoNewPrivileges=yes\n";
    text += "ProtectSystem=strict\n";
    text += "ProtectHome=yes\n";
    text += "PrivateTmp=yes\n";
    text += "PrivateDevices=yes\n";
    text += "DevicePolicy=closed\n";
    text += "PrivateMounts=yes\n";
    text += "ProtectKernelTunables=yes\n";
    text += "ProtectKernelModules=yes\n";
    text += "ProtectKernelLogs=yes\n";
    text += "ProtectControlGroups=yes\n";
    text += "ProtectClock=yes\n";
    text += "ProtectHostname=yes\n";
    text += "ProtectProc=invisible\n";
    text += "ProcSubset=pid\n";
    // AF_NETLINK: the machine's interface addresses are listed through a netlink socket.
    text += "RestrictAddressFamilies=AF_INET AF_INET6 AF_UNIX AF_NETLINK\n";
    text += "RestrictNamespaces=yes\n";
    text += "LockPersonality=yes\n";
    text += "MemoryDenyWriteExecute=yes\n";
    text += "RestrictRealtime=yes\n";
    text += "RestrictSUIDSGID=yes\n";
    text += "RemoveIPC=yes\n";
    text += "KeyringMode=private\n";
    text += "SystemCallArchitectures=native\n";
    text += "SystemCallFilter=@system-service\n";
    text += "SystemCallFilter=~@privileged @resources\n";
    text += "SystemCallErrorNumber=EPERM\n";
    text += "Type=notify\n";
    text += "ExecStart=" + SystemdExecPath(executable_path) + "\n";
    // A stop during an audit run is noticed within one query wait (10 s); the readings taken are then
    // uploaded, the session closed and the stop handler waits 5 s: about 15 s in all, well within this.
    text += "TimeoutStopSec=30s\n";
    text += "\n";
    text += "[Install]\n";
    text += "WantedBy=multi-user.target\n";
    return text;
}

} // namespace telva
