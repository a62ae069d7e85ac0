#pragma once
// The clock and the sleep that the daily log, the forms and the handlers use, behind one small seam so
// that tests can drive time without waiting for it.

#include "platform/clock.h"

#include <cstdint>

namespace telva {

class TimeSource {
public:
    virtual ~TimeSource() = default;
    virtual platform::LocalDateTime Now() = 0;
    virtual void Sleep(std::uint32_t milliseconds) = 0;
};

// The real local clock and the real sleep.
TimeSource& SystemTime();

} // namespace telva
