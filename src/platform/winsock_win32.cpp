#include "platform/winsock_win32.h"

#include <winsock2.h>

namespace telva::platform {

int EnsureWinsock() {
    static const int result = [] {
        WSADATA data{};
        return WSAStartup(MAKEWORD(2, 2), &data);
    }();
    return result;
}

} // namespace telva::platform
