#pragma once
// Turns a printer's host text into the IPv4 address a query is sent to.

#include "platform/udp.h"

#include <optional>
#include <string_view>

namespace telva {

// Four decimal numbers from 0 to 255 joined by "." (nothing else): the address they name.
std::optional<platform::Ipv4Address> ParseDottedIpv4(std::string_view text);

// "LOCALHOST" in any letter case is 127.0.0.1; a dotted IPv4 address is used unchanged; any other text is
// looked up and its first IPv4 address used. Returns 0 or the resolver's Windows Sockets code.
int ResolveHostAddress(const std::string& host, platform::Ipv4Address& address);

} // namespace telva
