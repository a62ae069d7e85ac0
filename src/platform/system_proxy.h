#pragma once
// The machine's proxy setting for programs that are not browsers: on Windows WinHTTP's (what
// `netsh winhttp set proxy` writes, with its bypass list); POSIX systems have no such setting.

#include <string>

namespace telva::platform {

struct SystemProxyConfig {
    std::string
        proxies;        // WinHTTP's proxy list ("host:port" or "http=host:port;https=host:port"); empty: none
    std::string bypass; // the hosts reached directly ("<local>;*.example.com"); may be empty
};

// Whether this system has a proxy setting ReadSystemProxy reads.
bool SystemProxySupported();

// The setting as it stands now; an empty list when it says to connect directly or cannot be read.
SystemProxyConfig ReadSystemProxy();

} // namespace telva::platform
