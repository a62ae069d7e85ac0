#include "platform/local_ipv4.h"

#include "platform/winsock_win32.h"

#include <winsock2.h>

namespace telva::platform {

std::vector<std::string> LocalIPv4Addresses() {
    std::vector<std::string> addresses;
    if (EnsureWinsock() != 0) {
        return addresses;
    }
    char name[64] = {};
    if (gethostname(name, sizeof name) == 0) {
        name[sizeof name - 1] = '\0';
        if (const hostent* host = gethostbyname(name); host != nullptr && host->h_addr_list != nullptr) {
            for (char** entry = host->h_addr_list; *entry != nullptr; ++entry) {
                in_addr address{};
                memcpy(&address, *entry, sizeof address);
                addresses.emplace_back(inet_ntoa(address));
            }
        }
    }
    return addresses;
}

} // namespace telva::platform
