#include "server/http_client.h"

#include "platform/socket_error_text.h"
#include "platform/tcp.h"
#include "server/answer_text.h"
#include "server/http_error.h"
#include "server/http_request.h"
#include "server/url.h"

#include <algorithm>
#include <chrono>

namespace telva {
namespace {

constexpr std::size_t kReceiveBufferBytes = 64 * 1024;
constexpr std::size_t kSendBufferBytes = 64 * 1024;

std::uint32_t MillisecondsUntil(std::chrono::steady_clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now())
            .count();
    return left <= 0 ? 0 : static_cast<std::uint32_t>(left);
}

// Turns a socket facility's code into the client's error.
void CheckSocket(int code) {
    if (code != 0) {
        throw HttpError(platform::SocketErrorMessage(code), code);
    }
}

} // namespace

HttpClient::HttpClient(std::vector<std::string> custom_lines, const HttpLimits& limits)
    : custom_lines_(std::move(custom_lines)), limits_(limits) {}

HttpClient HttpClient::ForCredentials(std::string_view user_name, std::string_view password,
                                      const HttpLimits& limits) {
    return HttpClient({HeaderLine("ZURMO_AUTH_USERNAME", user_name),
                       HeaderLine("ZURMO_AUTH_PASSWORD", password), "ZURMO_API_REQUEST_TYPE: REST"},
                      limits);
}

HttpClient HttpClient::ForSession(std::string_view session_id, std::string_view token,
                                  const HttpLimits& limits) {
    return HttpClient({HeaderLine("ZURMO_SESSION_ID", session_id), HeaderLine("ZURMO_TOKEN", token),
                       "ZURMO_API_REQUEST_TYPE: REST"},
                      limits);
}

std::string HttpClient::RequestHead(std::string_view url, const FormFields& form) const {
    const HttpTarget target = ParseHttpUrl(url);
    return ComposeRequestHead(target.target, target.host_header, form.boundary(), form.BodyLength(),
                              custom_lines_);
}

std::string HttpClient::PostForm(std::string_view url, const FormFields& form) const {
    const HttpTarget target = ParseHttpUrl(url);
    // The body is encoded twice, once for its length and once while it is sent, and never held whole: the
    // head and the parts go out through one buffer of kSendBufferBytes.
    std::string outgoing = ComposeRequestHead(target.target, target.host_header, form.boundary(),
                                              form.BodyLength(), custom_lines_);

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limits_.total_ms);
    platform::TcpConnection connection;
    CheckSocket(
        connection.Connect(target.connect_host, target.port, std::min(limits_.connect_ms, limits_.total_ms)));
    outgoing.reserve(kSendBufferBytes);
    form.WriteBody([&](std::string_view piece) {
        outgoing.append(piece);
        if (outgoing.size() >= kSendBufferBytes) {
            CheckSocket(connection.SendAll(outgoing, limits_.idle_ms, deadline));
            outgoing.clear();
        }
    });
    CheckSocket(connection.SendAll(outgoing, limits_.idle_ms, deadline));

    HttpAnswerReader reader(limits_.max_body_bytes);
    std::string buffer(kReceiveBufferBytes, '\0');
    while (!reader.Complete()) {
        const std::uint32_t wait = std::min(limits_.idle_ms, MillisecondsUntil(deadline));
        if (wait == 0) {
            CheckSocket(platform::kWsaTimedOut);
        }
        std::size_t received = 0;
        CheckSocket(connection.Receive(buffer.data(), buffer.size(), wait, received));
        if (received == 0) {
            reader.FeedEnd();
        } else {
            reader.Feed(std::string_view(buffer.data(), received));
        }
    }

    HttpAnswer answer = reader.TakeAnswer();
    if (answer.status < 200 || answer.status > 299) {
        throw HttpError("HTTP/1.0 " + std::to_string(answer.status) + " " + answer.reason);
    }
    const std::string* content_type = answer.FindHeader("Content-Type");
    return DecodeAnswerBody(std::move(answer.body),
                            content_type != nullptr ? *content_type : std::string_view());
}

} // namespace telva
