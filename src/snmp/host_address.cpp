#include "snmp/host_address.h"

#include "text/ascii.h"

namespace telva {

std::optional<platform::Ipv4Address> ParseDottedIpv4(std::string_view text) {
    platform::Ipv4Address address{};
    std::size_t pos = 0;
    for (int part = 0; part < 4; ++part) {
        if (part > 0) {
            if (pos >= text.size() || text[pos] != '.') {
                return std::nullopt;
            }
            ++pos;
        }
        int value = 0;
        int digits = 0;
        while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9' && digits < 3) {
            value = value * 10 + (text[pos] - '0');
            ++pos;
            ++digits;
        }
        if (digits == 0 || value > 255) {
            return std::nullopt;
        }
        address[static_cast<std::size_t>(part)] = static_cast<std::uint8_t>(value);
    }
    if (pos != text.size()) {
        return std::nullopt;
    }
    return address;
}

int ResolveHostAddress(const std::string& host, platform::Ipv4Address& address) {
    if (EqualsIgnoringAsciiCase(host, "localhost")) {
        address = {127, 0, 0, 1};
        return 0;
    }
    if (const auto dotted = ParseDottedIpv4(host)) {
        address = *dotted;
        return 0;
    }
    return platform::ResolveIpv4(host, address);
}

} // namespace telva
