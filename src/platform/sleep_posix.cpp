#include "platform/sleep.h"

#include <cerrno>
#include <ctime>

namespace telva::platform {

void SleepMilliseconds(std::uint32_t milliseconds) {
    timespec left{static_cast<time_t>(milliseconds / 1000),
                  static_cast<long>(milliseconds % 1000) * 1000000L};
    // A signal (a queued control request) must not shorten the wait: sleep on for what is left.
    while (nanosleep(&left, &left) == -1 && errno == EINTR) {
    }
}

} // namespace telva::platform
