#include "commons/api_endpoints.h"

#include "commons/api_call.h"
#include "commons/daily_log.h"
#include "commons/process_records.h"

namespace telva {

bool ApiLogin() {
    const std::optional<JsonDocument> data = CallApi(kLoginPath, FormFields());
    if (data && data->root().IsObject()) {
        const JsonValue* session_id = FindMember(data->root(), "sessionId");
        const JsonValue* token = FindMember(data->root(), "token");
        if (session_id != nullptr && token != nullptr) {
            try {
                std::string session_text = ValueText(*session_id);
                std::string token_text = ValueText(*token);
                ApiSession.SessionId = std::move(session_text);
                ApiSession.Token = std::move(token_text);
                WriteLog("Login TELVA ok");
                return true;
            } catch (const JsonValueError&) {
                // A value without text counts like a missing member.
            }
        }
    }
    ApiSession.SessionId.clear();
    ApiSession.Token.clear();
    return false;
}

bool ApiLogout() {
    CallApi(kLogoutPath, FormFields());
    ApiSession.SessionId.clear();
    ApiSession.Token.clear();
    WriteLog("Logout TELVA ok");
    return true;
}

std::optional<JsonDocument> FetchItemData(const std::string& number) {
    FormFields form;
    form.AddField("data[number]", number);
    return CallApi(kFetchItemDataPath, form);
}

std::optional<JsonDocument> UpdateItemData(const FormFields& form) {
    return CallApi(kUpdateItemDataPath, form);
}

} // namespace telva
