#pragma once
// The four operations of the contract server the service uses, and the server session they keep in the
// run context. Each yields the ApiAnswer of its call: Success, Refused (with the server's words) or Failed
// (with why).

#include "run_context.h"
#include "server/api_call.h"
#include "server/form_fields.h"
#include "server/json.h"

#include <string>
#include <string_view>

namespace telva {

inline constexpr std::string_view kLoginPath = "zurmo/api/login";
inline constexpr std::string_view kLogoutPath = "zurmo/api/logout";
inline constexpr std::string_view kFetchItemDataPath = "contractItems/contractItem/api/fetchItemData/";
inline constexpr std::string_view kUpdateItemDataPath = "contractItems/contractItem/api/updateItemData/";

// Logs in with the configured credentials. Success: "sessionId" and "token" of the answer's data are kept
// in context.session and "Login TELVA ok" is written. Otherwise the session is cleared; a "SUCCESS" answer
// whose data holds no session counts as Failed.
ApiAnswer LogIn(RunContext& context, Relogin relogin = Relogin::Allowed);

// Logs out and clears the session, whatever the server answers. "Logout TELVA ok" goes to the log either
// way; after a logout the server did not take, as a line not shown to a person watching the run.
ApiAnswer LogOut(RunContext& context);

// The contract's printer data: on success, the "data" of the answer to a form holding "data[number]".
ApiAnswer FetchItemData(RunContext& context, const std::string& number);

// Posts the caller's upload form unchanged.
ApiAnswer UpdateItemData(RunContext& context, const FormFields& form);

// Why `answer`, of the call a person knows as `call` ("the login"), did not succeed: "the server refused
// the login: <status>: <errors>" or "the login failed: <why>". Server texts in it are as they came.
std::string FailureReason(const ApiAnswer& answer, std::string_view call);

} // namespace telva
