#pragma once

#include <string>
#include <vector>

namespace telva::platform {

// The machine's own IPv4 addresses in dotted-decimal form, in the platform's order, duplicates kept.
// Windows: the addresses the resolver gives for the machine's host name. POSIX: the addresses of the
// network interfaces, in interface order. Empty when none can be found.
std::vector<std::string> LocalIPv4Addresses();

} // namespace telva::platform
