#include "server/api_endpoints.h"

namespace telva {

bool LogIn(RunContext& context, Relogin relogin, std::string* why) {
    const ApiAnswer answer = CallApi(context, kLoginPath, FormFields(context.clock.Now()), relogin);
    const std::optional<JsonDocument>& data = answer.data;
    if (data && data->root().IsObject()) {
        const JsonValue* session_id = FindMember(data->root(), "sessionId");
        const JsonValue* token = FindMember(data->root(), "token");
        if (session_id != nullptr && token != nullptr) {
            try {
                std::string session_text = ValueText(*session_id);
                std::string token_text = ValueText(*token);
                context.session.session_id = std::move(session_text);
                context.session.token = std::move(token_text);
                context.Log("Login TELVA ok");
                return true;
            } catch (const JsonValueError&) {
                // A value without text counts like a missing member.
            }
        }
    }
    context.session.Clear();
    if (why != nullptr) {
        if (answer.outcome == ApiOutcome::Refused) {
            *why = "the server refused the login: " + answer.refusal;
        } else if (answer.outcome == ApiOutcome::Success) {
            *why = "the server's answer to the login held no session";
        } else {
            *why = "the login failed: " + answer.failure;
        }
    }
    return false;
}

void LogOut(RunContext& context) {
    CallApi(context, kLogoutPath, FormFields(context.clock.Now()));
    context.session.Clear();
    context.Log("Logout TELVA ok");
}

ApiAnswer FetchItemData(RunContext& context, const std::string& number) {
    FormFields form(context.clock.Now());
    form.AddField("data[number]", number);
    return CallApi(context, kFetchItemDataPath, form);
}

ApiAnswer UpdateItemData(RunContext& context, const FormFields& form) {
    return CallApi(context, kUpdateItemDataPath, form);
}

} // namespace telva
