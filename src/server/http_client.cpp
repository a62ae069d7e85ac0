#include "server/http_client.h"

#include "platform/socket_error_text.h"
#include "platform/tcp.h"
#include "platform/tls.h"
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

// The words a technician reads in the log for a failed TLS connection.
std::string TlsFailureText(const platform::TlsStatus& status, const HttpTarget& target,
                           const std::string& ca_file) {
    using platform::TlsFailure;
    const std::string where = target.host + ":" + std::to_string(target.port);
    switch (status.failure) {
    case TlsFailure::kCaFile:
        return "TLS: cannot read CA certificates from " + ca_file;
    case TlsFailure::kTimedOut:
        return "TLS: no handshake with " + where + " within the time limit";
    case TlsFailure::kClosed:
        return "TLS: " + where + " closed the connection during the handshake";
    case TlsFailure::kNotTls:
        return "TLS: " + where + " does not speak TLS (plain HTTP?)";
    case TlsFailure::kHandshake:
        return "TLS: handshake with " + where + " failed (" + status.detail + ")";
    case TlsFailure::kSelfSigned:
        return "TLS: certificate not trusted (self-signed) for " + target.host;
    case TlsFailure::kUnknownIssuer:
        return "TLS: certificate not trusted (unknown issuer) for " + target.host;
    case TlsFailure::kExpired:
        return "TLS: certificate expired for " + target.host;
    case TlsFailure::kNotYetValid:
        return "TLS: certificate not yet valid for " + target.host;
    case TlsFailure::kNameMismatch:
        return "TLS: certificate is not for the name " + target.host;
    case TlsFailure::kCertificate:
        return "TLS: certificate rejected (" + status.detail + ") for " + target.host;
    case TlsFailure::kProtocol:
        return "TLS: connection with " + where + " failed (" + status.detail + ")";
    case TlsFailure::kNone:
        break;
    }
    return "TLS: connection with " + where + " failed";
}

// The connection of one request: plain TCP, or TLS for https. Every failure raises HttpError.
class Channel {
public:
    Channel(const HttpTarget& target, const std::string& ca_file) : target_(target), ca_file_(ca_file) {}

    void Connect(std::uint32_t connect_ms, std::uint32_t idle_ms,
                 std::chrono::steady_clock::time_point deadline) {
        if (!target_.tls) {
            CheckSocket(tcp_.Connect(target_.connect_host, target_.port, connect_ms));
            return;
        }
        Check(tls_.Connect(target_.connect_host, target_.port, ca_file_, connect_ms, idle_ms, deadline));
    }

    void SendAll(std::string_view bytes, std::uint32_t idle_ms,
                 std::chrono::steady_clock::time_point deadline) {
        if (!target_.tls) {
            CheckSocket(tcp_.SendAll(bytes, idle_ms, deadline));
            return;
        }
        Check(tls_.SendAll(bytes, idle_ms, deadline));
    }

    std::size_t Receive(char* buffer, std::size_t size, std::uint32_t timeout_ms) {
        std::size_t received = 0;
        if (!target_.tls) {
            CheckSocket(tcp_.Receive(buffer, size, timeout_ms, received));
        } else {
            Check(tls_.Receive(buffer, size, timeout_ms, received));
        }
        return received;
    }

private:
    void Check(const platform::TlsStatus& status) const {
        if (status.failure != platform::TlsFailure::kNone) {
            throw HttpError::Tls(TlsFailureText(status, target_, ca_file_));
        }
        CheckSocket(status.socket_code);
    }

    const HttpTarget& target_;
    const std::string& ca_file_;
    platform::TcpConnection tcp_;
    platform::TlsConnection tls_;
};

} // namespace

HttpClient::HttpClient(std::vector<std::string> custom_lines, const HttpLimits& limits, std::string ca_file)
    : custom_lines_(std::move(custom_lines)), limits_(limits), ca_file_(std::move(ca_file)) {}

HttpClient HttpClient::ForCredentials(std::string_view user_name, std::string_view password,
                                      const HttpLimits& limits, std::string ca_file) {
    return HttpClient({HeaderLine("ZURMO_AUTH_USERNAME", user_name),
                       HeaderLine("ZURMO_AUTH_PASSWORD", password), "ZURMO_API_REQUEST_TYPE: REST"},
                      limits, std::move(ca_file));
}

HttpClient HttpClient::ForSession(std::string_view session_id, std::string_view token,
                                  const HttpLimits& limits, std::string ca_file) {
    return HttpClient({HeaderLine("ZURMO_SESSION_ID", session_id), HeaderLine("ZURMO_TOKEN", token),
                       "ZURMO_API_REQUEST_TYPE: REST"},
                      limits, std::move(ca_file));
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
    // For https the handshake is part of connecting: it has the same connect, idle and total limits, and
    // nothing is sent before the server's certificate has been verified.
    Channel connection(target, ca_file_);
    connection.Connect(std::min(limits_.connect_ms, limits_.total_ms), limits_.idle_ms, deadline);
    outgoing.reserve(kSendBufferBytes);
    form.WriteBody([&](std::string_view piece) {
        outgoing.append(piece);
        if (outgoing.size() >= kSendBufferBytes) {
            connection.SendAll(outgoing, limits_.idle_ms, deadline);
            outgoing.clear();
        }
    });
    connection.SendAll(outgoing, limits_.idle_ms, deadline);

    HttpAnswerReader reader(limits_.max_body_bytes);
    std::string buffer(kReceiveBufferBytes, '\0');
    while (!reader.Complete()) {
        const std::uint32_t wait = std::min(limits_.idle_ms, MillisecondsUntil(deadline));
        if (wait == 0) {
            CheckSocket(platform::kWsaTimedOut);
        }
        const std::size_t received = connection.Receive(buffer.data(), buffer.size(), wait);
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
