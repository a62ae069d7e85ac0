#include "server/url.h"

#include "server/http_error.h"
#include "text/ascii.h"

#include <algorithm>

namespace telva {
namespace {

std::uint16_t ReadPort(std::string_view text) {
    if (text.empty() || text.size() > 5) {
        throw HttpError("Invalid port " + std::string(text));
    }
    unsigned value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') {
            throw HttpError("Invalid port " + std::string(text));
        }
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    if (value == 0 || value > 65535) {
        throw HttpError("Invalid port " + std::string(text));
    }
    return static_cast<std::uint16_t>(value);
}

} // namespace

HttpTarget ParseHttpUrl(std::string_view url) {
    const std::size_t separator = url.find("://");
    if (separator == std::string_view::npos) {
        throw HttpError("Unknown Protocol");
    }
    const std::string scheme = LowerAscii(url.substr(0, separator));

    // Backslashes up to the query are path separators.
    std::string rest(url.substr(separator + 3));
    const std::size_t query = rest.find('?');
    std::replace(rest.begin(),
                 query == std::string::npos ? rest.end() : rest.begin() + static_cast<long>(query), '\\',
                 '/');

    std::size_t authority_end = rest.find_first_of("/?");
    if (authority_end == std::string::npos) {
        authority_end = rest.size();
    }
    const std::string authority = rest.substr(0, authority_end);
    HttpTarget result;
    const bool has_path = authority_end < rest.size() && rest[authority_end] == '/';
    if (!has_path) {
        result.target.push_back('/');
    }
    result.target.append(std::string_view(rest).substr(authority_end));

    std::string port_text;
    if (!authority.empty() && authority.front() == '[') {
        const std::size_t close = authority.find(']');
        if (close == std::string::npos) {
            throw HttpError("Invalid IPv6 host in URL");
        }
        result.host = authority.substr(0, close + 1);
        result.connect_host = authority.substr(1, close - 1);
        const std::string after = authority.substr(close + 1);
        if (!after.empty()) {
            if (after.front() != ':') {
                throw HttpError("Invalid host in URL");
            }
            port_text = after.substr(1);
        }
    } else {
        const std::size_t colon = authority.find(':');
        result.host = authority.substr(0, colon);
        result.connect_host = result.host;
        if (colon != std::string::npos) {
            port_text = authority.substr(colon + 1);
        }
    }

    const bool has_port = !port_text.empty() || authority.find(':', result.host.size()) != std::string::npos;
    result.tls = scheme == "https";
    if (scheme != "http" && !result.tls && !has_port) {
        throw HttpError("Unknown Protocol");
    }
    if (result.connect_host.empty()) {
        throw HttpError("URL has no host");
    }
    const std::uint16_t default_port = result.tls ? 443 : 80;
    result.port = has_port ? ReadPort(port_text) : default_port;
    const bool known_scheme = scheme == "http" || result.tls;
    result.host_header =
        known_scheme && result.port == default_port ? result.host : result.host + ":" + port_text;
    return result;
}

} // namespace telva
