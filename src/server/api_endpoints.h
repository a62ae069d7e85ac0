#pragma once
// The four operations of the contract server the service uses, and the server session they keep in the
// run context.

#include "run_context.h"
#include "server/api_call.h"
#include "server/form_fields.h"
#include "server/json.h"

#include <optional>
#include <string>

namespace telva {

inline constexpr std::string_view kLoginPath = "zurmo/api/login";
inline constexpr std::string_view kLogoutPath = "zurmo/api/logout";
inline constexpr std::string_view kFetchItemDataPath = "contractItems/contractItem/api/fetchItemData/";
inline constexpr std::string_view kUpdateItemDataPath = "contractItems/contractItem/api/updateItemData/";

// Logs in with the configured credentials. On success keeps "sessionId" and "token" of the answer's data in
// context.session, writes "Login TELVA ok" and yields true; otherwise clears the session and yields false,
// and says why in `why` when given: the server's refusal, the answer without a session, or why the exchange
// failed (which the log shows only as its two lines).
bool LogIn(RunContext& context, Relogin relogin = Relogin::Allowed, std::string* why = nullptr);

// Logs out, whatever the server answers; clears the session and writes "Logout TELVA ok".
void LogOut(RunContext& context);

// The contract's printer data: on success, the "data" of the answer to a form holding "data[number]".
ApiAnswer FetchItemData(RunContext& context, const std::string& number);

// Posts the caller's upload form unchanged.
ApiAnswer UpdateItemData(RunContext& context, const FormFields& form);

} // namespace telva
