#pragma once
// The machine's own IPv4 address that names the service in the log.

#include <string>
#include <vector>

namespace telva {

// The machine's IPv4 addresses, dotted decimal, in the platform's order; possibly empty.
std::vector<std::string> GetLocalAddresses();

// The last entry whose first three characters are neither "169" nor "127"; empty when none qualifies.
std::string ChooseLocalAddress(const std::vector<std::string>& addresses);

// ChooseLocalAddress(GetLocalAddresses()).
std::string GetLocalAddress();

} // namespace telva
