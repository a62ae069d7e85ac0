#include "platform/resolver.h"

#include "platform/socket_errno.h"
#include "platform/socket_error_text.h"

#include <cerrno>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace telva::platform {

int ResolveIpv4(const std::string& host_name, Ipv4Address& address) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* list = nullptr;
    const int result = getaddrinfo(host_name.c_str(), nullptr, &hints, &list);
    if (result != 0) {
        return ResolverCodeFromGai(result, errno);
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
