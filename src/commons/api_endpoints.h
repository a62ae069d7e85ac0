#pragma once
// The four operations of the contract server the service uses, and the server session they keep in
// ApiSession.

#include "commons/form_fields.h"
#include "commons/json.h"

#include <optional>
#include <string>

namespace telva {

inline constexpr std::string_view kLoginPath = "zurmo/api/login";
inline constexpr std::string_view kLogoutPath = "zurmo/api/logout";
inline constexpr std::string_view kFetchItemDataPath = "contractItems/contractItem/api/fetchItemData/";
inline constexpr std::string_view kUpdateItemDataPath = "contractItems/contractItem/api/updateItemData/";

// Logs in with the configured credentials. On success keeps "sessionId" and "token" of the answer's data
// in ApiSession, writes "Login TELVA ok" and yields true; otherwise clears ApiSession and yields false.
bool ApiLogin();

// Logs out, whatever the server answers; clears ApiSession, writes "Logout TELVA ok", yields true.
bool ApiLogout();

// The contract's printer data: the "data" of a "SUCCESS" answer to a form holding "data[number]".
std::optional<JsonDocument> FetchItemData(const std::string& number);

// Posts the caller's upload form unchanged; the "data" of a "SUCCESS" answer or none.
std::optional<JsonDocument> UpdateItemData(const FormFields& form);

} // namespace telva
