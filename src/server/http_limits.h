#pragma once
// How long one HTTP exchange with the contract server may wait, and how large an answer may be.

#include "platform/deadline.h"

#include <cstddef>
#include <cstdint>

namespace telva {

// The largest answer body the client accepts: 64 MiB.
inline constexpr std::size_t kMaxAnswerBodyBytes = 64u * 1024u * 1024u;

// Connecting (to the server or its proxy, with the proxy's tunnel and the TLS handshake) waits at most
// `connect_ms`; an exchange fails when no byte moves for `idle_ms` or the whole exchange takes longer than
// `total_ms`. An answer body above `max_body_bytes` fails the exchange. Every wait also ends by `cutoff` once
// that is set (a stop's), when one is given: the exchange then fails as on a time-out.
struct HttpLimits {
    std::uint32_t connect_ms = 30000;
    std::uint32_t idle_ms = 60000;
    std::uint32_t total_ms = 300000;
    std::size_t max_body_bytes = kMaxAnswerBodyBytes;
    const Cutoff* cutoff = nullptr;
};

} // namespace telva
