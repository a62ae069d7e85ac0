#pragma once
// The HTTP client for the contract server: one client per request, HTTP/1.0 over one TCP connection (with
// TLS for an https URL), authentication headers chosen by the session at the moment the client is prepared.
// Through a proxy, an http request goes to the proxy with its absolute URI; an https one goes through a
// CONNECT tunnel, inside which TLS with the server is verified as without a proxy.

#include "server/form_fields.h"
#include "server/http_answer.h"
#include "server/http_limits.h"
#include "server/proxy.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace telva {

class HttpClient {
public:
    // Credentials mode: ZURMO_AUTH_USERNAME, ZURMO_AUTH_PASSWORD, ZURMO_API_REQUEST_TYPE.
    // `ca_file` (empty: none) names a PEM file of CA certificates trusted for https beside the system's;
    // `proxy` is the "proxy" setting.
    static HttpClient ForCredentials(std::string_view user_name, std::string_view password,
                                     const HttpLimits& limits = HttpLimits(), std::string ca_file = {},
                                     ProxySetting proxy = {});
    // Session mode: ZURMO_SESSION_ID, ZURMO_TOKEN, ZURMO_API_REQUEST_TYPE.
    static HttpClient ForSession(std::string_view session_id, std::string_view token,
                                 const HttpLimits& limits = HttpLimits(), std::string ca_file = {},
                                 ProxySetting proxy = {});

    // The three custom header lines, in the order they are sent.
    const std::vector<std::string>& custom_lines() const { return custom_lines_; }

    // The request line and header block this client sends for `form` to `url` (to the proxy, for an http
    // URL the proxy setting sends through one). Raises HttpError for a URL it cannot use.
    std::string RequestHead(std::string_view url, const FormFields& form) const;

    // POSTs `form` to `url` and yields the answer text of a final 2xx answer, decoded by its charset.
    // Raises HttpError, whose message names the failure in words, for every other outcome: a bad URL or
    // proxy setting, a socket error, an expired wait or the limits' cut-off, a proxy's refusal, a malformed
    // or oversized answer, a final status outside 2xx, a failed TLS connection (HttpError::tls()).
    std::string PostForm(std::string_view url, const FormFields& form) const;

private:
    HttpClient(std::vector<std::string> custom_lines, const HttpLimits& limits, std::string ca_file,
               ProxySetting proxy);

    std::string Head(const HttpTarget& target, const std::optional<ProxyServer>& proxy,
                     const FormFields& form) const;

    std::vector<std::string> custom_lines_;
    HttpLimits limits_;
    std::string ca_file_;
    ProxySetting proxy_;
};

} // namespace telva
