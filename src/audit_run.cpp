#include "audit_run.h"

#include "printer_reader.h"
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

} // namespace

AuditOutcome RunAudit(RunContext& context) {
    AuditOutcome result;
    if (!LogIn(context)) {
        context.Log("Erro no login");
        return result;
    }
    // Every printer is read from the list before any is queried: a list the run cannot use is reported and
    // nothing is uploaded, without spending time on the printers. The parsed answer is let go as soon as the
    // printers hold what the run needs.
    PrinterList list;
    {
        const ApiAnswer fetched = FetchItemData(context, context.settings.contract_number);
        if (!fetched.data) {
            // A failed exchange has written its own lines; a refusal would otherwise leave none.
            if (fetched.outcome == ApiOutcome::Refused) {
                context.Log("Printer list not received: " + RefusalForLog(fetched.refusal));
            }
            LogOut(context);
            return result;
        }
        list = ReadPrinterList(fetched.data->root());
    }
    if (!list.problem.empty()) {
        context.Log("Printer list not usable, nothing uploaded: " + list.problem);
        LogOut(context);
        return result;
    }
    const std::size_t count = list.printers.size();
    FormFields form(context.clock.Now());
    context.Log("Printer count " + std::to_string(count));
    std::size_t read = 0;
    std::size_t partial = 0;
    const auto take = [&](std::size_t i, const PrinterReading& reading) {
        if (reading.answered == kCounterCount) {
            ++read;
        } else if (reading.answered > 0) {
            ++partial;
        }
        const std::string prefix = "data[items][" + std::to_string(i) + "][";
        for (std::size_t k = 0; k < kCounterCount; ++k) {
            form.AddField(prefix + kCounterFields[k].upload_key + "]", reading.readings[k]);
        }
        form.AddField(prefix + "cid]", list.printers[i].id);
        // Done with: the memory passes to the form as the run goes on. This printer's reading has ended, so
        // no reading thread looks at it any more.
        list.printers[i] = Printer();
    };
    const ReadOutcome outcome =
        ReadPrinters(context, list.printers, ReadOptions{context.settings.parallel}, take);
    if (outcome.stop != StopRequest::None) {
        context.Log(std::string("Run cut short by a ") +
                    (outcome.stop == StopRequest::Shutdown ? "shutdown" : "stop") + ": " +
                    std::to_string(outcome.finished) + " of " + std::to_string(count) + " printers read");
    }
    form.AddField("data[count]", std::to_string(count));
    form.AddField("data[number]", context.settings.contract_number);
    const ApiOutcome upload = UpdateItemData(context, form).outcome;
    context.Log("Update()");
    context.Log("Audit summary: " + std::to_string(count) + " printers, " + std::to_string(read) + " read, " +
                std::to_string(partial) + " partial, " + std::to_string(count - read - partial) +
                " no answer; upload " + UploadWord(upload));
    LogOut(context);
    result.server_ok = upload == ApiOutcome::Success;
    result.printers = count;
    result.read = read;
    result.partial = partial;
    return result;
}

} // namespace telva
