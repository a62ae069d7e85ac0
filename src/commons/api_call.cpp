#include "commons/api_call.h"

#include "commons/answer_text.h"
#include "commons/api_endpoints.h"
#include "commons/daily_log.h"
#include "commons/http_client.h"
#include "commons/process_records.h"
#include "platform/unicode.h"

namespace telva {
namespace {

// Set while a re-login's ApiLogin runs, so that the login's own call never starts another re-login.
bool relogin_running = false;

// What one request of a call leaves behind: its answer text, if an answer arrived, and the object parsed
// from it, if it was readable.
struct Exchange {
    std::optional<std::string> answer_text;
    std::optional<JsonDocument> object;
};

// One request with a freshly prepared client, disposed of before this returns. Never raises.
Exchange Request(const std::string& url, const FormFields& form) {
    Exchange exchange;
    try {
        const HttpClient client = PrepareHttpClient();
        exchange.answer_text = client.PostForm(url, form);
        // Text that is ASCII already is its own reduction: it is parsed where it lies.
        const std::string& text = *exchange.answer_text;
        exchange.object =
            platform::IsAscii(text) ? ParseJsonObject(text) : ParseJsonObject(ReduceToAscii(text));
    } catch (...) {
        // A failed exchange: whatever arrived is kept for the log.
    }
    return exchange;
}

class ReloginMark {
public:
    ReloginMark() { relogin_running = true; }
    ~ReloginMark() { relogin_running = false; }
    ReloginMark(const ReloginMark&) = delete;
    ReloginMark& operator=(const ReloginMark&) = delete;
};

std::optional<JsonDocument> Fail(const std::string& answer_text, const std::string& url) {
    WriteLog(answer_text);
    WriteLog(url);
    return std::nullopt;
}

} // namespace

std::optional<JsonDocument> CallApi(std::string_view path, const FormFields& form) {
    std::string url;
    std::string last_answer_text;
    try {
        url = AuditSettings.BaseUrl + std::string(path);
        Exchange exchange = Request(url, form);
        if (exchange.answer_text) {
            last_answer_text = std::move(*exchange.answer_text);
        }
        if (!exchange.object) {
            return Fail(last_answer_text, url);
        }

        if (!relogin_running && ContainsText(exchange.object->root(), kSessionExpiredPhrase)) {
            ApiSession.SessionId.clear();
            bool logged_in = false;
            {
                const ReloginMark mark;
                logged_in = ApiLogin();
            }
            if (logged_in) {
                exchange = Request(url, form);
                if (exchange.answer_text) {
                    last_answer_text = std::move(*exchange.answer_text);
                }
                if (!exchange.object) {
                    return Fail(last_answer_text, url);
                }
            }
        }

        const JsonValue& answer = exchange.object->root();
        const JsonValue* status = FindMember(answer, "status");
        const JsonValue* data = FindMember(answer, "data");
        if (status == nullptr || data == nullptr || FindMember(answer, "errors") == nullptr) {
            return Fail(last_answer_text, url);
        }
        if (ValueText(*status) != "SUCCESS") {
            return std::nullopt;
        }
        exchange.object->Select(*data);
        return std::move(exchange.object);
    } catch (...) {
        // A "status" number without text, or memory running out: a failed exchange like any other.
        return Fail(last_answer_text, url);
    }
}

} // namespace telva
