#pragma once
// The HTTP client for the contract server: one client per request, plain HTTP/1.0 over one TCP
// connection, authentication headers chosen by the session at the moment the client is prepared.

#include "commons/form_fields.h"
#include "commons/http_answer.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace telva {

// How long an exchange may wait. Connecting waits at most `connect_ms`; reading fails when no byte
// arrives for `idle_ms` or the whole exchange takes longer than `total_ms`. An answer body above
// `max_body_bytes` fails the exchange.
struct HttpLimits {
    std::uint32_t connect_ms = 30000;
    std::uint32_t idle_ms = 60000;
    std::uint32_t total_ms = 300000;
    std::size_t max_body_bytes = kMaxAnswerBodyBytes;
};

// The limits every new client takes. Only tests change them, to make the waits short.
HttpLimits CurrentHttpLimits();
void SetHttpLimits(const HttpLimits& limits);

class HttpClient {
public:
    // Credentials mode: ZURMO_AUTH_USERNAME, ZURMO_AUTH_PASSWORD, ZURMO_API_REQUEST_TYPE.
    static HttpClient ForCredentials(std::string_view user_name, std::string_view password);
    // Session mode: ZURMO_SESSION_ID, ZURMO_TOKEN, ZURMO_API_REQUEST_TYPE.
    static HttpClient ForSession(std::string_view session_id, std::string_view token);

    // The three custom header lines, in the order they are sent.
    const std::vector<std::string>& custom_lines() const { return custom_lines_; }

    // The request line and header block this client sends for `form` to `url`. Raises HttpError for a URL
    // it cannot use.
    std::string RequestHead(std::string_view url, const FormFields& form) const;

    // POSTs `form` to `url` and yields the answer text of a final 2xx answer, decoded by its charset.
    // Raises HttpError or platform::SocketError for every other outcome: a bad URL, a socket error, an
    // expired wait, a malformed or oversized answer, a final status outside 2xx.
    std::string PostForm(std::string_view url, const FormFields& form) const;

private:
    explicit HttpClient(std::vector<std::string> custom_lines);

    std::vector<std::string> custom_lines_;
    HttpLimits limits_;
};

// A fresh client in the mode ApiSession.SessionId selects now: credentials mode while it is empty
// (AuditSettings.UserName and Password), session mode otherwise (SessionId and Token).
HttpClient PrepareHttpClient();

} // namespace telva
