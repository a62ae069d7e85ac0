#include "platform/clock.h"

#include <windows.h>

namespace telva::platform {

LocalDateTime GetLocalDateTime() {
    SYSTEMTIME st{};
    GetLocalTime(&st);
    LocalDateTime t;
    t.year = st.wYear;
    t.month = st.wMonth;
    t.day = st.wDay;
    t.hour = st.wHour;
    t.minute = st.wMinute;
    t.second = st.wSecond;
    t.millisecond = st.wMilliseconds;
    return t;
}

std::uint64_t HighResolutionTicks() {
    LARGE_INTEGER counter{};
    QueryPerformanceCounter(&counter);
    return static_cast<std::uint64_t>(counter.QuadPart);
}

} // namespace telva::platform
