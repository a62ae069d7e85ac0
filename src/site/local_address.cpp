#include "site/local_address.h"

#include "platform/local_ipv4.h"

namespace telva {

std::vector<std::string> GetLocalAddresses() {
    return platform::LocalIPv4Addresses();
}

std::string ChooseLocalAddress(const std::vector<std::string>& addresses) {
    std::string chosen;
    for (const std::string& address : addresses) {
        // A test on the text: it skips 169.254/16 and 127/8, and any other address starting with 169.
        const std::string_view head = std::string_view(address).substr(0, 3);
        if (head != "169" && head != "127") {
            chosen = address;
        }
    }
    return chosen;
}

std::string GetLocalAddress() {
    return ChooseLocalAddress(GetLocalAddresses());
}

} // namespace telva
