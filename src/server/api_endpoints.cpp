#include "server/api_endpoints.h"

namespace telva {
namespace {

constexpr const char* kLogoutLine = "Logout TELVA ok";

// Takes "sessionId" and "token" of a login's data into `session`; false when the data is not an object,
// lacks one of them, or holds one without text.
bool TakeSession(const JsonValue& data, ServerSession& session) {
    if (!data.IsObject()) {
        return false;
    }
    const JsonValue* session_id = FindMember(data, "sessionId");
    const JsonValue* token = FindMember(data, "token");
    if (session_id == nullptr || token == nullptr) {
        return false;
    }
    try {
        std::string session_text = ValueText(*session_id);
        std::string token_text = ValueText(*token);
        session.session_id = std::move(session_text);
        session.token = std::move(token_text);
        return true;
    } catch (const JsonValueError&) {
        return false; // a value without text counts like a missing member
    }
}

} // namespace

ApiAnswer LogIn(RunContext& context, Relogin relogin) {
    ApiAnswer answer = CallApi(context, kLoginPath, FormFields(context.clock.Now()), relogin);
    if (answer.succeeded() && TakeSession(answer.data->root(), context.session)) {
        context.Log("Login TELVA ok");
        return answer;
    }
    context.session.Clear();
    if (answer.succeeded()) {
        answer.outcome = ApiOutcome::Failed;
        answer.failure = "the server's answer held no session";
        answer.data.reset();
    }
    return answer;
}

ApiAnswer LogOut(RunContext& context) {
    ApiAnswer answer = CallApi(context, kLogoutPath, FormFields(context.clock.Now()));
    context.session.Clear();
    if (answer.succeeded()) {
        context.Log(kLogoutLine);
    } else {
        context.LogUnshown(kLogoutLine);
    }
    return answer;
}

ApiAnswer FetchItemData(RunContext& context, const std::string& number) {
    FormFields form(context.clock.Now());
    form.AddField("data[number]", number);
    return CallApi(context, kFetchItemDataPath, form);
}

ApiAnswer UpdateItemData(RunContext& context, const FormFields& form) {
    return CallApi(context, kUpdateItemDataPath, form);
}

std::string FailureReason(const ApiAnswer& answer, std::string_view call) {
    if (answer.outcome == ApiOutcome::Refused) {
        return "the server refused " + std::string(call) + ": " + answer.refusal;
    }
    return std::string(call) + " failed: " + answer.failure;
}

} // namespace telva
