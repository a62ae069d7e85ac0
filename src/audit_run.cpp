#include "audit_run.h"

#include "printer_reader.h"
#include "run_history.h"
#include "server/api_endpoints.h"
#include "server/form_fields.h"
#include "text/network_text.h"

#include <exception>
#include <optional>

namespace telva {
namespace {

// The answer's status and error texts for the log: control characters removed, at most 200 characters.
std::string RefusalForLog(std::string_view refusal) {
    return ScrubText(refusal, ControlCharacters::Drop, 200).text;
}

// The contract's printers. None when the list was refused, failed or cannot be used: `result` says why,
// and the log has its line (a failed exchange has written its own two). The parsed answer is let go as soon
// as the printers hold what the run needs.
std::optional<PrinterList> FetchPrinters(RunContext& context, AuditOutcome& result) {
    std::string& failure = result.failure;
    const ApiAnswer fetched = FetchItemData(context, context.settings.contract_number);
    if (!fetched.succeeded()) {
        if (fetched.outcome == ApiOutcome::Refused) {
            context.Log("Printer list not received: " + RefusalForLog(fetched.refusal));
        }
        failure = FailureReason(fetched, "the printer list");
        result.retryable = RunFailure::PrinterListNotReceived;
        return std::nullopt;
    }
    // Every printer is read from the list before any is queried: a list the run cannot use is reported and
    // nothing is uploaded, without spending time on the printers.
    PrinterList list = ReadPrinterList(fetched.data->root());
    if (!list.problem.empty()) {
        const std::string problem = NetworkText(list.problem);
        context.Log("Printer list not usable, nothing uploaded: " + problem);
        failure = "the printer list is not usable: " + problem;
        return std::nullopt;
    }
    return list;
}

// Logs out; when the server did not take the logout, `result` keeps why.
void LogOutAfterRun(RunContext& context, AuditOutcome& result) {
    const ApiAnswer logout = LogOut(context);
    if (!logout.succeeded()) {
        result.logout_failure = FailureReason(logout, "the logout");
    }
}

// Counts a printer's reading as the check does: failed when an error ended it, else read, partial or (not
// counted here) no answer.
void CountReading(const PrinterReading& reading, AuditOutcome& result) {
    if (!reading.error.empty()) {
        ++result.failed;
    } else if (reading.answered == kCounterCount) {
        ++result.read;
    } else if (reading.answered > 0) {
        ++result.partial;
    }
}

const char* UploadWord(ApiOutcome outcome) {
    switch (outcome) {
    case ApiOutcome::Success:
        return "accepted";
    case ApiOutcome::Refused:
        return "refused";
    case ApiOutcome::Failed:
        break;
    }
    return "failed";
}

// With "conferir" the printers whose counters went back join the counts.
std::string SummaryLine(const AuditOutcome& result, ApiOutcome upload, bool lower_counted) {
    const std::size_t no_answer = result.printers - result.read - result.partial - result.failed;
    return "Audit summary: " + std::to_string(result.printers) + " printers, " + std::to_string(result.read) +
           " read, " + std::to_string(result.partial) + " partial, " + std::to_string(no_answer) +
           " no answer, " + std::to_string(result.failed) + " failed" +
           (lower_counted ? ", " + std::to_string(result.lower) + " with lower counters" : "") + "; upload " +
           UploadWord(upload);
}

} // namespace

AuditOutcome RunAudit(RunContext& context) {
    AuditOutcome result;
    const ApiAnswer login = LogIn(context);
    if (!login.succeeded()) {
        context.Log("Erro no login");
        result.failure = FailureReason(login, "the login");
        result.retryable = RunFailure::LoginFailed;
        return result;
    }
    std::optional<PrinterList> list = FetchPrinters(context, result);
    if (!list) {
        LogOutAfterRun(context, result);
        return result;
    }
    std::vector<Printer>& printers = list->printers;
    const std::size_t count = printers.size();
    result.printers = count;
    FormFields form(context.clock.Now());
    context.Log("Printer count " + std::to_string(count));
    RunHistory history(context);
    const auto take = [&](std::size_t i, const PrinterReading& reading) {
        CountReading(reading, result);
        if (history.Take(printers[i], reading.readings)) {
            ++result.lower;
        }
        const std::string prefix = "data[items][" + std::to_string(i) + "][";
        for (std::size_t k = 0; k < kCounterCount; ++k) {
            form.AddField(prefix + kCounterFields[k].upload_key + "]", reading.readings[k]);
        }
        form.AddField(prefix + "cid]", printers[i].id);
        // Done with: the memory passes to the form as the run goes on. This printer's reading has ended, so
        // no reading thread looks at it any more.
        printers[i] = Printer();
    };
    const ReadOutcome outcome = ReadPrinters(context, printers, ReadOptions{context.settings.parallel}, take);
    if (outcome.stop != StopRequest::None) {
        context.Log(std::string("Run cut short by a ") +
                    (outcome.stop == StopRequest::Shutdown ? "shutdown" : "stop") + ": " +
                    std::to_string(outcome.finished) + " of " + std::to_string(count) + " printers read");
    }
    form.AddField("data[count]", std::to_string(count));
    form.AddField("data[number]", context.settings.contract_number);
    const ApiAnswer upload = UpdateItemData(context, form);
    context.Log("Update()");
    context.Log(SummaryLine(result, upload.outcome, context.settings.compare_counters));
    if (upload.succeeded()) {
        history.UploadAccepted();
    } else {
        result.failure = FailureReason(upload, "the upload");
        result.retryable =
            upload.outcome == ApiOutcome::Refused ? RunFailure::UploadRefused : RunFailure::UploadFailed;
    }
    LogOutAfterRun(context, result);
    return result;
}

} // namespace telva
