#pragma once
// The host-name resolver for IPv4, shared by the UDP and TCP facilities. Returns 0 or a Windows Sockets
// error code (socket_error_text.h) on both builds.

#include <array>
#include <cstdint>
#include <string>

namespace telva::platform {

using Ipv4Address = std::array<std::uint8_t, 4>; // network order: 127.0.0.1 is {127, 0, 0, 1}

// Looks a host name up and gives its first IPv4 address. 11001 when the name is not found.
int ResolveIpv4(const std::string& host_name, Ipv4Address& address);

} // namespace telva::platform
