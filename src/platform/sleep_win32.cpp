#include "platform/sleep.h"

#include <windows.h>

namespace telva::platform {

void SleepMilliseconds(std::uint32_t milliseconds) {
    Sleep(milliseconds);
}

} // namespace telva::platform
