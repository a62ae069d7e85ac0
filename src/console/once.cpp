#include "console/once.h"

#include "audit_run.h"
#include "site/local_address.h"
#include "site/settings.h"

namespace telva {

int RunOnce(RunContext& context, const std::string& settings_path, std::string& problem) {
    const std::string local_address = GetLocalAddress();
    context.settings = ReadSettings(settings_path);
    context.settings.local_address = local_address;
    // The time of day matters to the service's schedule only, not to this run.
    const SettingsReview review =
        ReviewSettings(settings_path, context.settings, context.clock.TimeSeparator());
    if (!review.usable) {
        for (const std::string& text : review.problems) {
            problem += (problem.empty() ? "" : "; ") + text;
        }
        return 2;
    }
    const AuditOutcome outcome = RunAudit(context);
    if (!outcome.server_ok) {
        return 2;
    }
    return outcome.read == outcome.printers ? 0 : 1;
}

} // namespace telva
