#include "platform/winsock_win32.h"

#include <winsock2.h>

namespace telva::platform {

void EnsureWinsock() {
    static const bool started = [] {
        WSADATA data{};
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    (void)started;
}

} // namespace telva::platform
