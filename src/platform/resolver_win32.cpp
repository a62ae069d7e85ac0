#include "platform/resolver.h"

#include "platform/socket_error_text.h"
#include "platform/winsock_win32.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstring>

namespace telva::platform {

int ResolveIpv4(const std::string& host_name, Ipv4Address& address) {
    if (const int code = EnsureWinsock(); code != 0) {
        return code;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* list = nullptr;
    const int result = getaddrinfo(host_name.c_str(), nullptr, &hints, &list);
    if (result != 0) {
        return result; // already a Windows Sockets code (11001 when the name is not found)
    }
    int code = kWsaHostNotFound;
    for (const addrinfo* entry = list; entry != nullptr; entry = entry->ai_next) {
        if (entry->ai_family == AF_INET && entry->ai_addr != nullptr) {
            const auto* in = reinterpret_cast<const sockaddr_in*>(entry->ai_addr);
            std::memcpy(address.data(), &in->sin_addr, address.size());
            code = 0;
            break;
        }
    }
    freeaddrinfo(list);
    return code;
}

} // namespace telva::platform
