#include "server/api_call.h"

#include "platform/unicode.h"
#include "server/answer_text.h"
#include "server/api_endpoints.h"
#include "server/http_client.h"
#include "server/http_error.h"
#include "text/network_text.h"

namespace telva {
namespace {

// What one request of a call leaves behind: the text of its answer, if a 2xx answer arrived, and the
// object parsed from it, if it was readable; otherwise why not, in words.
struct Exchange {
    std::optional<std::string> answer_text;
    std::optional<JsonDocument> object;
    std::string failure;
};

// One request with a freshly prepared client, disposed of before this returns. Never raises.
Exchange Request(const RunContext& context, const std::string& url, const FormFields& form) {
    Exchange exchange;
    try {
        const HttpClient client = PrepareHttpClient(context);
        exchange.answer_text = client.PostForm(url, form);
        // Text that is ASCII already is its own reduction: it is parsed where it lies.
        const std::string& text = *exchange.answer_text;
        if (text.empty()) {
            exchange.failure = "the answer is empty";
            return exchange;
        }
        exchange.object =
            platform::IsAscii(text) ? ParseJsonObject(text) : ParseJsonObject(ReduceToAscii(text));
        if (!exchange.object) {
            exchange.failure = "the answer is not a JSON object";
        }
    } catch (const HttpError& error) {
        exchange.failure = error.what();
    } catch (...) {
        // A failed exchange: whatever arrived is kept for the log.
        exchange.failure = "the exchange failed";
    }
    return exchange;
}

// Logs a failed exchange's two lines: the last answer text this call's own requests obtained (made safe
// to write), or when none arrived the words of the failure; then the URL.
ApiAnswer Fail(RunContext& context, const std::optional<std::string>& answer_text, const std::string& url,
               std::string failure) {
    if (answer_text && !answer_text->empty()) {
        context.Log(NetworkText(*answer_text));
    } else {
        context.Log(answer_text ? "Empty answer from the server" : failure);
    }
    context.Log(url);
    ApiAnswer answer;
    answer.failure = std::move(failure);
    return answer;
}

// Every string (and number literal) inside `value`, at any depth, in document order.
void CollectTexts(const JsonValue& value, std::string& out) {
    if (value.IsString() || value.IsNumber()) {
        if (!value.text().empty()) {
            out += out.empty() ? "" : "; ";
            out += value.text();
        }
        return;
    }
    for (const JsonValue& item : value.items()) {
        CollectTexts(item, out);
    }
}

// "<status>" or "<status>: <error texts>" of a refusal.
std::string RefusalText(const std::string& status, const JsonValue& errors) {
    std::string texts;
    CollectTexts(errors, texts);
    return texts.empty() ? status : status + ": " + texts;
}

} // namespace

HttpClient PrepareHttpClient(const RunContext& context) {
    HttpLimits limits = context.http_limits;
    limits.cutoff = &context.stop_cutoff;
    if (context.session.session_id.empty()) {
        return HttpClient::ForCredentials(context.settings.user_name, context.settings.password, limits,
                                          context.settings.ca_file, context.settings.proxy);
    }
    return HttpClient::ForSession(context.session.session_id, context.session.token, limits,
                                  context.settings.ca_file, context.settings.proxy);
}

ApiAnswer CallApi(RunContext& context, std::string_view path, const FormFields& form, Relogin relogin) {
    std::string url;
    std::optional<std::string> last_answer_text;
    try {
        url = context.settings.base_url + std::string(path);
        Exchange exchange = Request(context, url, form);
        last_answer_text = exchange.answer_text;
        if (!exchange.object) {
            return Fail(context, last_answer_text, url, exchange.failure);
        }

        if (relogin == Relogin::Allowed && ContainsText(exchange.object->root(), kSessionExpiredPhrase)) {
            context.session.session_id.clear();
            if (LogIn(context, Relogin::Suppressed).succeeded()) {
                exchange = Request(context, url, form);
                if (exchange.answer_text) {
                    last_answer_text = exchange.answer_text;
                }
                if (!exchange.object) {
                    return Fail(context, last_answer_text, url, exchange.failure);
                }
            }
        }

        const JsonValue& answer = exchange.object->root();
        const JsonValue* status = FindMember(answer, "status");
        const JsonValue* data = FindMember(answer, "data");
        const JsonValue* errors = FindMember(answer, "errors");
        if (status == nullptr || data == nullptr || errors == nullptr) {
            return Fail(context, last_answer_text, url,
                        "the answer lacks \"status\", \"data\" or \"errors\"");
        }
        const std::string status_text = ValueText(*status);
        ApiAnswer result;
        if (status_text != "SUCCESS") {
            result.outcome = ApiOutcome::Refused;
            result.refusal = RefusalText(status_text, *errors);
            return result;
        }
        exchange.object->Select(*data);
        result.outcome = ApiOutcome::Success;
        result.data = std::move(exchange.object);
        return result;
    } catch (...) {
        // A "status" number without text, or memory running out: a failed exchange like any other.
        return Fail(context, last_answer_text, url, "the answer's \"status\" cannot be read");
    }
}

} // namespace telva
