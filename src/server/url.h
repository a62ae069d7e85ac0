#pragma once
// Taking a request URL apart for the HTTP client.

#include <cstdint>
#include <string>
#include <string_view>

namespace telva {

struct HttpTarget {
    std::string host;         // as written, IPv6 brackets included
    std::string connect_host; // the host to connect to: brackets removed
    std::uint16_t port = 80;  // 443 for https when the URL names none
    bool tls = false;         // https: the connection is made with TLS
    std::string host_header;  // the value of the Host line
    std::string target;       // the request target, from the first "/" on, query included
};

// Splits `url` into scheme, host, optional port and request target. A backslash before the query counts as
// "/"; no percent-encoding is added or removed. Raises HttpError with "Unknown Protocol" for a URL without
// "://" or with a scheme other than http and https that carries no port, and with its own message for a
// missing host or an unreadable port. Any other scheme with a port is spoken as plain HTTP.
HttpTarget ParseHttpUrl(std::string_view url);

} // namespace telva
