#pragma once
// The one road to the contract server: POST a form, read the JSON envelope, renew an expired session once.

#include "commons/form_fields.h"
#include "commons/json.h"

#include <optional>
#include <string_view>

namespace telva {

// The text by which the server reports that it no longer accepts the session.
inline constexpr std::string_view kSessionExpiredPhrase = "Sign in required";

// POSTs `form` to AuditSettings.BaseUrl + `path`. Yields the envelope's "data" when its "status" is
// "SUCCESS" (a null "data" included), none otherwise: a document owned by the caller whose root is "data".
// When the answer mentions kSessionExpiredPhrase anywhere, logs in again once and repeats the request with
// the same form. A failed exchange writes two log lines: the last answer text of this call's own requests
// (empty when none arrived) and the URL. Never raises.
std::optional<JsonDocument> CallApi(std::string_view path, const FormFields& form);

} // namespace telva
