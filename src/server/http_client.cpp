#include "server/http_client.h"

#include "platform/socket_error_text.h"
#include "server/answer_text.h"
#include "server/http_connection.h"
#include "server/http_error.h"
#include "server/http_request.h"
#include "server/url.h"

namespace telva {
namespace {

constexpr std::size_t kReceiveBufferBytes = 64 * 1024;
constexpr std::size_t kSendBufferBytes = 64 * 1024;
// How long an answer is waited for after the request could not be sent whole: one that came is there.
constexpr std::uint32_t kAnswerAfterFailedSendMs = 1000;

// Reads the answer on `connection`, each wait for the next bytes lasting at most `idle_ms`.
HttpAnswer ReadAnswer(HttpConnection& connection, std::uint32_t idle_ms, std::size_t max_body_bytes) {
    HttpAnswerReader reader(max_body_bytes);
    std::string buffer(kReceiveBufferBytes, '\0');
    bool any_byte = false;
    while (!reader.Complete()) {
        const std::size_t received = connection.Receive(buffer.data(), buffer.size(), idle_ms);
        if (received == 0 && !any_byte && connection.Forwarded()) {
            connection.ProxyRefused("connection closed without an answer");
        }
        any_byte = any_byte || received > 0;
        try {
            if (received == 0) {
                reader.FeedEnd();
            } else {
                reader.Feed(std::string_view(buffer.data(), received));
            }
        } catch (const HttpError& error) {
            // The reader's words about a malformed, incomplete or oversized answer, and whose it was.
            throw HttpError(std::string(error.what()) + " (" + connection.Where() + ")");
        }
    }
    return reader.TakeAnswer();
}

} // namespace

HttpClient::HttpClient(std::vector<std::string> custom_lines, const HttpLimits& limits, std::string ca_file,
                       ProxySetting proxy)
    : custom_lines_(std::move(custom_lines)), limits_(limits), ca_file_(std::move(ca_file)),
      proxy_(std::move(proxy)) {}

HttpClient HttpClient::ForCredentials(std::string_view user_name, std::string_view password,
                                      const HttpLimits& limits, std::string ca_file, ProxySetting proxy) {
    return HttpClient({HeaderLine("ZURMO_AUTH_USERNAME", user_name),
                       HeaderLine("ZURMO_AUTH_PASSWORD", password), "ZURMO_API_REQUEST_TYPE: REST"},
                      limits, std::move(ca_file), std::move(proxy));
}

HttpClient HttpClient::ForSession(std::string_view session_id, std::string_view token,
                                  const HttpLimits& limits, std::string ca_file, ProxySetting proxy) {
    return HttpClient({HeaderLine("ZURMO_SESSION_ID", session_id), HeaderLine("ZURMO_TOKEN", token),
                       "ZURMO_API_REQUEST_TYPE: REST"},
                      limits, std::move(ca_file), std::move(proxy));
}

std::string HttpClient::Head(const HttpTarget& target, const std::optional<ProxyServer>& proxy,
                             const FormFields& form) const {
    if (!proxy || target.tls) {
        return ComposeRequestHead(target.target, target.host_header, form.boundary(), form.BodyLength(),
                                  custom_lines_);
    }
    // To a proxy that forwards it: the absolute URI, and the proxy's credentials after the custom lines.
    std::vector<std::string> lines = custom_lines_;
    if (!proxy->user.empty()) {
        lines.push_back(HeaderLine("Proxy-Authorization", BasicCredentials(proxy->user, proxy->password)));
    }
    return ComposeRequestHead("http://" + target.host_header + target.target, target.host_header,
                              form.boundary(), form.BodyLength(), lines);
}

std::string HttpClient::RequestHead(std::string_view url, const FormFields& form) const {
    const HttpTarget target = ParseHttpUrl(url);
    return Head(target, ProxyFor(proxy_, target), form);
}

std::string HttpClient::PostForm(std::string_view url, const FormFields& form) const {
    const HttpTarget target = ParseHttpUrl(url);
    const std::optional<ProxyServer> proxy = ProxyFor(proxy_, target);
    // The body is encoded twice, once for its length and once while it is sent, and never held whole: the
    // head and the parts go out through one buffer of kSendBufferBytes.
    std::string outgoing = Head(target, proxy, form);

    HttpConnection connection(target, proxy, limits_, ca_file_);
    connection.Open();
    outgoing.reserve(kSendBufferBytes);
    std::optional<HttpError> send_failure;
    try {
        form.WriteBody([&](std::string_view piece) {
            outgoing.append(piece);
            if (outgoing.size() >= kSendBufferBytes) {
                connection.SendAll(outgoing);
                outgoing.clear();
            }
        });
        connection.SendAll(outgoing);
    } catch (const HttpError& error) {
        // A peer may answer before it has taken the whole request and close the connection (a proxy's 407, a
        // server's 413): that answer, when one came, says more than the broken send.
        if (error.socket_code() == 0 || error.socket_code() == platform::kWsaTimedOut) {
            throw;
        }
        send_failure = error;
    }

    HttpAnswer answer;
    if (!send_failure) {
        answer = ReadAnswer(connection, limits_.idle_ms, limits_.max_body_bytes);
    } else {
        try {
            answer = ReadAnswer(connection, kAnswerAfterFailedSendMs, limits_.max_body_bytes);
        } catch (const HttpError&) {
            throw *send_failure;
        }
        // A request that was not sent whole never succeeds, whatever the answer says.
        if (answer.status >= 200 && answer.status <= 299) {
            throw *send_failure;
        }
    }
    if (answer.status < 200 || answer.status > 299) {
        if (answer.status == 407 && connection.Forwarded()) {
            connection.ProxyRefused(StatusText(answer));
        }
        throw HttpError(connection.Where() + " answered " + StatusText(answer));
    }
    const std::string* content_type = answer.FindHeader("Content-Type");
    return DecodeAnswerBody(std::move(answer.body),
                            content_type != nullptr ? *content_type : std::string_view());
}

} // namespace telva
