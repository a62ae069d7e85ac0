#include "commons/time_source.h"

#include "platform/sleep.h"

namespace telva {
namespace {

class SystemTimeSource final : public TimeSource {
public:
    platform::LocalDateTime Now() override { return platform::GetLocalDateTime(); }
    void Sleep(std::uint32_t milliseconds) override { platform::SleepMilliseconds(milliseconds); }
};

} // namespace

TimeSource& SystemTime() {
    static SystemTimeSource instance;
    return instance;
}

} // namespace telva
