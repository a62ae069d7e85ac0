#pragma once
// The one road to the contract server: POST a form, read the JSON envelope, renew an expired session once.

#include "run_context.h"
#include "server/form_fields.h"
#include "server/http_client.h"
#include "server/json.h"

#include <optional>
#include <string_view>

namespace telva {

// The text by which the server reports that it no longer accepts the session.
inline constexpr std::string_view kSessionExpiredPhrase = "Sign in required";

// A fresh HTTP client in the mode context.session selects now: credentials mode while no session is held
// (the settings' user name and password), session mode otherwise (its identifier and token); through the
// settings' proxy, if any. Every wait of its exchange ends by context.stop_cutoff once a stop has set it.
HttpClient PrepareHttpClient(const RunContext& context);

// Whether an answer mentioning kSessionExpiredPhrase may start a re-login. The re-login's own login call is
// made with Suppressed, so that it never starts another one.
enum class Relogin { Allowed, Suppressed };

// How a call ended: a "SUCCESS" envelope; an envelope with another status (the server refused); or no
// usable answer at all (a failed exchange, already logged).
enum class ApiOutcome { Success, Refused, Failed };

struct ApiAnswer {
    ApiOutcome outcome = ApiOutcome::Failed;
    // Success: a document owned by the caller whose root is the envelope's "data" (null included).
    std::optional<JsonDocument> data;
    // Refused: the envelope's status, and the texts of its "errors" after ": " when it holds any.
    std::string refusal;
    // Failed: why, in words for a person at the console (the log keeps its own two lines).
    std::string failure;

    bool succeeded() const { return outcome == ApiOutcome::Success; }
};

// POSTs `form` to context.settings.base_url + `path`, with the credentials or the session headers that
// context.session selects now, and reads the envelope. When the answer mentions kSessionExpiredPhrase
// anywhere, logs in again once and repeats the request with the same form. A failed exchange writes two log
// lines: the last answer text of this call's own requests (as NetworkText makes it safe to write), or the
// words naming the failure when no answer text arrived; and the URL. Never raises.
ApiAnswer CallApi(RunContext& context, std::string_view path, const FormFields& form,
                  Relogin relogin = Relogin::Allowed);

} // namespace telva
