#pragma once
// How a refused datagram ends a query on the build under test. Windows reports the ICMP refusal of a datagram
// on the next receive, and the POSIX build does the same through IP_RECVERR. Wine, which runs the Windows
// build in CI, does not: there a query to a port without listener ends at its time-out instead, still
// returning false without an error.

#include <cstdint>

namespace telva::test {

#ifdef _WIN32
inline constexpr bool kRefusalEndsTheWait = false;
inline constexpr std::int32_t kRefusalTimeoutMs = 1000;
#else
inline constexpr bool kRefusalEndsTheWait = true;
inline constexpr std::int32_t kRefusalTimeoutMs = 20000;
#endif

} // namespace telva::test
