// The real POSIX service shell and the real start and stop handlers around a stand-in audit run, for the
// end-to-end lifecycle tests while the audit run itself is tested elsewhere. The stand-in writes
// "Probe audit begins" and "Probe audit ends" to the daily log and takes AUDIT_MS of real time.
//   service_probe LOG_DIR SETTINGS_FILE AUDIT_MS PAUSE_MS [FIXED_HH:MM]
// PAUSE_MS replaces the scheduler's 10-second pause and FIXED_HH:MM, when given, is the clock's time at
// every check (with a 1 ms random delay), so that a matching schedule starts a run at every check.

#include "audit_service.h"
#include "platform/sleep.h"
#include "scheduler.h"
#include "service/service_host.h"
#include "site/daily_log.h"

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>

namespace {

class ProbeClock final : public telva::Clock {
public:
    ProbeClock(std::uint32_t pause_ms, std::optional<telva::platform::LocalDateTime> fixed)
        : pause_ms_(pause_ms), fixed_(fixed) {}

    telva::platform::LocalDateTime Now() override { return fixed_ ? *fixed_ : telva::SystemClock().Now(); }
    void Sleep(std::uint32_t milliseconds) override {
        telva::platform::SleepMilliseconds(milliseconds == telva::kSchedulePauseMs ? pause_ms_
                                                                                   : milliseconds);
    }
    bool SleepUnless(std::uint32_t milliseconds, telva::Interruption& interruption) override {
        return interruption.Await(milliseconds);
    }
    std::uint32_t RandomDelay() override { return fixed_ ? 1 : telva::SystemClock().RandomDelay(); }
    std::string TimeSeparator() override { return ":"; }
    std::string DateSeparator() override { return telva::SystemClock().DateSeparator(); }

private:
    std::uint32_t pause_ms_;
    std::optional<telva::platform::LocalDateTime> fixed_;
};

} // namespace

int main(int count, char** values) {
    if (count < 5) {
        std::fprintf(stderr, "usage: service_probe LOG_DIR SETTINGS_FILE AUDIT_MS PAUSE_MS [FIXED_HH:MM]\n");
        return 2;
    }
    const auto audit_ms = static_cast<std::uint32_t>(std::strtoul(values[3], nullptr, 10));
    const auto pause_ms = static_cast<std::uint32_t>(std::strtoul(values[4], nullptr, 10));
    std::optional<telva::platform::LocalDateTime> fixed;
    if (count > 5) {
        telva::platform::LocalDateTime time;
        if (std::sscanf(values[5], "%d:%d", &time.hour, &time.minute) != 2) {
            return 2;
        }
        fixed = time;
    }
    ProbeClock clock(pause_ms, fixed);
    // The handlers log and wait by the real clock; only the schedule loop runs on the probe's clock.
    telva::DailyLog log(values[1], telva::SystemClock());
    telva::RunContext context(telva::SystemClock(), log);
    telva::AuditService service(context, values[2]);
    telva::RunContext loop_context(clock, log);
    bool run_now = true;
    service.on_execute = [&](telva::Service& sender) {
        loop_context.settings = context.settings; // as the start handler read them
        telva::RunScheduleLoop(sender, loop_context, run_now, [&] {
            log.Write("Probe audit begins");
            telva::platform::SleepMilliseconds(audit_ms);
            log.Write("Probe audit ends");
            return std::optional<telva::RunFailure>();
        });
    };
    telva::RunServiceProcess(service);
    return 0;
}
