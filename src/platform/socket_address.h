#pragma once
// Inside the platform layer only (both socket facilities include it after their OS headers): the one place
// that turns a host text and a port into a socket address for connect().

#include "platform/resolver.h"
#include "platform/socket_error_text.h"

#include <cstring>
#include <string>

namespace telva::platform {

// The socket address for `host`: an IPv6 literal, a dotted IPv4 literal, or the first IPv4 address the
// resolver gives for a name. Returns 0 or a Windows Sockets resolver code; `Length` is the platform's
// socket-address length type.
template <typename Length>
int BuildSocketAddress(const std::string& host, std::uint16_t port, sockaddr_storage& storage,
                       Length& length) {
    storage = sockaddr_storage{};
    if (host.find(':') != std::string::npos) {
        sockaddr_in6 address{};
        address.sin6_family = AF_INET6;
        address.sin6_port = htons(port);
        if (inet_pton(AF_INET6, host.c_str(), &address.sin6_addr) != 1) {
            return kWsaHostNotFound;
        }
        std::memcpy(&storage, &address, sizeof address);
        length = static_cast<Length>(sizeof address);
        return 0;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    if (inet_pton(AF_INET, host.c_str(), &address.sin_addr) != 1) {
        Ipv4Address first{};
        if (const int code = ResolveIpv4(host, first); code != 0) {
            return code;
        }
        std::memcpy(&address.sin_addr, first.data(), first.size());
    }
    std::memcpy(&storage, &address, sizeof address);
    length = static_cast<Length>(sizeof address);
    return 0;
}

} // namespace telva::platform
