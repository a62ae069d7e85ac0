#include "platform/local_ipv4.h"

#include <winsock2.h>

namespace telva::platform {

std::vector<std::string> LocalIPv4Addresses() {
    std::vector<std::string> addresses;
    WSADATA data{};
    WSAStartup(0x0101, &data); // result not examined: later calls fail with it
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
    WSACleanup();
    return addresses;
}

} // namespace telva::platform
