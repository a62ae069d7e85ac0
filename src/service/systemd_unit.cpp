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
