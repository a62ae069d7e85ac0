#pragma once

#include <cstdint>

namespace telva::platform {

// Blocks the calling thread for the given number of milliseconds.
void SleepMilliseconds(std::uint32_t milliseconds);

} // namespace telva::platform
