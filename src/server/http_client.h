#pragma once
// The HTTP client for the contract server: one client per request, HTTP/1.0 over one TCP connection (with
// TLS for an https URL), authentication headers chosen by the session at the moment the client is prepared.

#include "server/form_fields.h"
#include "server/http_answer.h"
#include "server/http_limits.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace telva {

class HttpClient {
public:
    // Credentials mode: ZURMO_AUTH_USERNAME, ZURMO_AUTH_PASSWORD, ZURMO_API_REQUEST_TYPE.
    // `ca_file` (empty: none) names a PEM file of CA certificates trusted for https beside the system's.
    static HttpClient ForCredentials(std::string_view user_name, std::string_view password,
                                     const HttpLimits& limits = HttpLimits(), std::string ca_file = {});
    // Session mode: ZURMO_SESSION_ID, ZURMO_TOKEN, ZURMO_API_REQUEST_TYPE.
    static HttpClient ForSession(std::string_view session_id, std::string_view token,
                                 const HttpLimits& limits = HttpLimits(), std::string ca_file = {});

    // The three custom header lines, in the order they are sent.
    const std::vector<std::string>& custom_lines() const { return custom_lines_; }

    // The request line and header block this client sends for `form` to `url`. Raises HttpError for a URL
    // it cannot use.
    std::string RequestHead(std::string_view url, const FormFields& form) const;

    // POSTs `form` to `url` and yields the answer text of a final 2xx answer, decoded by its charset.
    // Raises HttpError for every other outcome: a bad URL, a socket error, an expired wait, a malformed or
    // oversized answer, a final status outside 2xx, a failed TLS connection (HttpError::tls()).
    std::string PostForm(std::string_view url, const FormFields& form) const;

private:
    HttpClient(std::vector<std::string> custom_lines, const HttpLimits& limits, std::string ca_file);

    std::vector<std::string> custom_lines_;
    HttpLimits limits_;
    std::string ca_file_;
};

} // namespace telva
