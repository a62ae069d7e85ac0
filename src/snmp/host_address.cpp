#include "snmp/host_address.h"

namespace telva {
namespace {

bool IsLocalHost(std::string_view text) {
    constexpr std::string_view kName = "localhost";
    if (text.size() != kName.size()) {
        return false;
    }
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
        if (c != kName[i]) {
            return false;
        }
    }
    return true;
}

} // namespace

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
    if (IsLocalHost(host)) {
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
