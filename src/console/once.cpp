#include "console/once.h"

#include "audit_run.h"
#include "platform/files.h"
#include "site/local_address.h"
#include "site/settings.h"
#include "text/network_text.h"

namespace telva {
namespace {

// The closing line's words for `outcome`, and the exit status they stand for.
std::pair<int, std::string> ResultLine(const AuditOutcome& outcome) {
    std::string failures = outcome.failure;
    if (!outcome.logout_failure.empty()) {
        failures += (failures.empty() ? "" : "; ") + outcome.logout_failure;
    }
    if (!failures.empty()) {
        // The server's words in them are network text.
        return {2, "Result: " + NetworkText(failures)};
    }
    if (outcome.read != outcome.printers) {
        return {1, "Result: the upload was accepted; some printers not read (see the audit summary)"};
    }
    return {0, "Result: every printer read and the upload accepted"};
}

} // namespace

void ConsoleEchoLog::Write(std::string_view message) noexcept {
    log_.Write(message);
    try {
        show_(message);
    } catch (...) {
        // Memory ran out: the line is in the log all the same.
    }
}

std::string DailyLogProblem(const DailyLog& log) {
    const std::string& directory = log.directory();
    if (platform::DirectoryOfAnotherUser(directory)) {
        return "-ONCE writes the daily log in " + directory +
               ", which belongs to another user: run it as that user (the service's), for example with sudo "
               "-u "
               "telva4-audit";
    }
    if (!platform::MakeDirectory(directory)) {
        return "-ONCE writes the daily log in " + directory +
               ", which is missing and cannot be created by this user: run it as root, or start the service "
               "once (it makes the directory)";
    }
    if (!log.CanWrite()) {
        return "-ONCE cannot write the daily log file " + log.FilePath() +
               ": this user may not write there, or the file is not this user's";
    }
    return {};
}

int RunOnce(RunContext& context, const std::string& settings_path,
            const std::function<void(const std::string&)>& say) {
    const std::string local_address = GetLocalAddress();
    context.settings = ReadSettings(settings_path);
    context.settings.local_address = local_address;
    const SettingsReview review =
        ReviewSettings(settings_path, context.settings, context.clock.TimeSeparator());
    for (const std::string& problem : review.problems) {
        say("Settings: " + problem);
    }
    if (!review.usable) {
        say("Result: no run: the settings do not say which server and contract to use");
        return 2;
    }
    const auto [status, words] = ResultLine(RunAudit(context));
    say(words);
    return status;
}

} // namespace telva
