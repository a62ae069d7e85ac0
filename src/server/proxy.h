#pragma once
// The "proxy" setting: whether the server calls go through an HTTP proxy, and for each call which one (the
// proxy the setting names, or the one the machine's WinHTTP setting gives for that server).

#include "server/url.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace telva {

// One HTTP proxy: where it listens and, when it asks for them, the Basic credentials it is given.
struct ProxyServer {
    std::string host;         // as written, IPv6 brackets included
    std::string connect_host; // the host to connect to: brackets removed
    std::uint16_t port = 0;
    std::string user;     // percent-decoded; empty: no credentials are sent
    std::string password; // percent-decoded; sent to the proxy and written nowhere else

    // "host:port": how failures name the proxy.
    std::string Where() const;
};

enum class ProxyMode {
    Direct,   // "proxy" absent or empty: every call connects to the server itself
    Named,    // the proxy the setting names
    System,   // the machine's WinHTTP setting, read anew for each call (Windows only)
    Unusable, // a value that cannot be used: no call sends anything
};

struct ProxySetting {
    ProxyMode mode = ProxyMode::Direct;
    ProxyServer server;  // Named
    std::string shown;   // the value as it may be shown anywhere: the password left out
    std::string problem; // Unusable: the one line that says so (logged at start, and as each call's failure)
};

// Reads the value of "proxy": empty for none; "system" (any case) for the machine's setting;
// "host:port" or "http://[user[:password]@]host:port" (user and password percent-decoded, a final "/"
// allowed). Anything else is Unusable, as is "system" where the platform has no such setting.
ProxySetting ParseProxySetting(std::string_view text);

// The proxy in effect in words for the technician: "none", the named proxy without its password, or
// "system: " and what the machine's setting says now.
std::string ProxyInEffect(const ProxySetting& setting);

// The proxy one call to `target` goes through; none when it connects directly. Raises HttpError with the
// setting's problem when the setting is unusable, and with its own words when the machine's setting names
// a proxy that cannot be read.
std::optional<ProxyServer> ProxyFor(const ProxySetting& setting, const HttpTarget& target);

// The proxy a WinHTTP setting gives for a call to `host` (`tls`: an https server). `proxies` is the
// setting's list: entries separated by ";" or blanks, each "[scheme=][http://]host[:port]" (port 80 when
// none); an entry for the call's scheme wins over one without a scheme. `bypass` lists the hosts reached
// directly: "<local>" (a name without a dot) or a name with "*" wildcards, compared without case.
std::optional<ProxyServer> ChooseSystemProxy(std::string_view proxies, std::string_view bypass,
                                             std::string_view host, bool tls);

// "Basic " and the base64 form of user ":" password: the value of a Proxy-Authorization line.
std::string BasicCredentials(std::string_view user, std::string_view password);

} // namespace telva
