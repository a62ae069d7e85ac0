#pragma once
// The local wall clock (daylight-saving time applied) and a high-resolution tick count.

#include <cstdint>

namespace telva::platform {

struct LocalDateTime {
    int year = 0;   // four digits
    int month = 0;  // 1..12
    int day = 0;    // 1..31
    int hour = 0;   // 0..23
    int minute = 0; // 0..59
    int second = 0; // 0..59
    int millisecond = 0;
};

LocalDateTime GetLocalDateTime();

// A fast-moving counter for seeding the random generator; its unit is the platform's.
std::uint64_t HighResolutionTicks();

} // namespace telva::platform
