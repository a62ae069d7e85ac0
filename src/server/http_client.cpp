#include "server/http_client.h"

#include "platform/socket_error_text.h"
#include "platform/tcp.h"
#include "platform/tls.h"
#include "platform/unicode.h"
#include "server/answer_text.h"
#include "server/http_error.h"
#include "server/http_request.h"
#include "server/url.h"
#include "text/network_text.h"

#include <algorithm>

namespace telva {
namespace {

constexpr std::size_t kReceiveBufferBytes = 64 * 1024;
constexpr std::size_t kSendBufferBytes = 64 * 1024;
// How long an answer is waited for after the request could not be sent whole: one that came is there.
constexpr std::uint32_t kAnswerAfterFailedSendMs = 1000;
// The most a proxy's answer to CONNECT may hold before its end: its status line and header lines.
constexpr std::size_t kMaxTunnelAnswerBytes = 64 * 1024;

// A limit in words: "60 s", "0.3 s".
std::string Seconds(std::uint32_t milliseconds) {
    std::string text = std::to_string(milliseconds / 1000);
    if (const std::uint32_t fraction = milliseconds % 1000; fraction != 0) {
        std::string digits = std::to_string(1000 + fraction).substr(1);
        digits.erase(digits.find_last_not_of('0') + 1);
        text += "." + digits;
    }
    return text + " s";
}

// "<status> <reason>" of an answer, its reason made safe to show.
std::string StatusText(const HttpAnswer& answer) {
    std::string text = std::to_string(answer.status);
    if (!answer.reason.empty()) {
        text += ' ';
        text += NetworkText(answer.reason);
    }
    return text;
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

// The connection of one request: plain TCP to the server or to the proxy, TLS for https (through the
// proxy's tunnel when there is one). All its waits end by the exchange's deadline (the total limit and the
// cut-off); every failure raises HttpError with words that name the peer and what went wrong.
class Connection {
public:
    Connection(const HttpTarget& target, const std::optional<ProxyServer>& proxy, const HttpLimits& limits,
               const std::string& ca_file)
        : target_(target), proxy_(proxy), limits_(limits), ca_file_(ca_file),
          exchange_(Deadline::In(limits.total_ms, limits.cutoff)), connecting_(exchange_) {}

    // Connects, opens the proxy's tunnel for https and completes the TLS handshake: all within the
    // connect limit; for https nothing of the caller's is sent before the certificate has been verified.
    void Open() {
        connecting_ = exchange_.Within(limits_.connect_ms);
        const std::string& host = proxy_ ? proxy_->connect_host : target_.connect_host;
        const std::uint16_t port = proxy_ ? proxy_->port : target_.port;
        if (const int code = tcp_.Connect(host, port, connecting_); code != 0) {
            Fail(code);
        }
        if (target_.tls) {
            if (proxy_) {
                phase_ = Phase::Tunnel;
                OpenTunnel();
            }
            phase_ = Phase::Handshake;
            Check(
                tls_.Connect(std::move(tcp_), target_.connect_host, ca_file_, limits_.idle_ms, connecting_));
        }
        phase_ = Phase::Exchanging;
    }

    void SendAll(std::string_view bytes) {
        if (!target_.tls) {
            if (const int code = tcp_.SendAll(bytes, limits_.idle_ms, exchange_); code != 0) {
                Fail(code);
            }
            return;
        }
        Check(tls_.SendAll(bytes, limits_.idle_ms, exchange_));
    }

    // The next bytes of the answer, at most `size`, waiting at most `idle_ms`; 0 when the peer has closed
    // the connection.
    std::size_t Receive(char* buffer, std::size_t size, std::uint32_t idle_ms) {
        const Deadline wait = exchange_.Within(idle_ms);
        std::size_t received = 0;
        if (!target_.tls) {
            if (const int code = tcp_.Receive(buffer, size, wait, received); code != 0) {
                Fail(code);
            }
        } else {
            Check(tls_.Receive(buffer, size, wait, received));
        }
        return received;
    }

    // Whether the request goes to a proxy that forwards it (http through a proxy).
    bool Forwarded() const { return proxy_ && !target_.tls; }

    // Who the exchange is with, as failures name it.
    std::string Where() const {
        if (proxy_ && phase_ != Phase::Exchanging && phase_ != Phase::Handshake) {
            return "proxy " + proxy_->Where();
        }
        return Forwarded() ? ServerWhere() + " through proxy " + proxy_->Where() : ServerWhere();
    }

    // The refusal of a proxy, in the words every proxy failure begins with.
    [[noreturn]] void ProxyRefused(const std::string& answer) const {
        throw HttpError("Proxy " + proxy_->Where() + " refused: " + answer);
    }

private:
    enum class Phase { Connecting, Tunnel, Handshake, Exchanging };

    std::string ServerWhere() const { return target_.host + ":" + std::to_string(target_.port); }

    // CONNECT to the server through the proxy; returns once the proxy has answered with a 2xx status.
    void OpenTunnel() {
        const std::string authority = ServerWhere();
        std::string request = "CONNECT " + authority + " HTTP/1.1\r\nHost: " + authority + "\r\n";
        if (!proxy_->user.empty()) {
            request += HeaderLine("Proxy-Authorization", BasicCredentials(proxy_->user, proxy_->password));
            request += "\r\n";
        }
        request = platform::Utf8ToAsciiUnits(request + "\r\n");
        if (const int code = tcp_.SendAll(request, limits_.idle_ms, connecting_); code != 0) {
            Fail(code);
        }
        // The answer's head is read to its empty line; nothing may follow it before the TLS handshake.
        std::string head;
        char buffer[4096];
        std::size_t end = std::string::npos;
        while ((end = HeadEnd(head)) == std::string::npos) {
            if (head.size() > kMaxTunnelAnswerBytes) {
                ProxyRefused("an answer to CONNECT longer than " + std::to_string(kMaxTunnelAnswerBytes) +
                             " bytes");
            }
            std::size_t received = 0;
            if (const int code =
                    tcp_.Receive(buffer, sizeof buffer, connecting_.Within(limits_.idle_ms), received);
                code != 0) {
                Fail(code);
            }
            if (received == 0) {
                ProxyRefused(head.empty() ? "connection closed without an answer"
                                          : "connection closed during its answer");
            }
            head.append(buffer, received);
        }
        std::optional<HttpAnswer> answer;
        try {
            answer = ReadHttpAnswer(std::string_view(head).substr(0, end), true, 0);
        } catch (const HttpError& error) {
            ProxyRefused(std::string("an unreadable answer to CONNECT (") + error.what() + ")");
        }
        if (!answer) {
            ProxyRefused("an unreadable answer to CONNECT");
        }
        if (answer->status < 200 || answer->status > 299) {
            ProxyRefused(StatusText(*answer));
        }
        if (end < head.size()) {
            ProxyRefused("bytes after its answer to CONNECT");
        }
    }

    // The length of the answer's head with its empty line (CR LF or a bare LF), or npos while incomplete.
    static std::size_t HeadEnd(const std::string& head) {
        const std::size_t crlf = head.find("\r\n\r\n");
        const std::size_t lf = head.find("\n\n");
        return std::min(crlf == std::string::npos ? crlf : crlf + 4, lf == std::string::npos ? lf : lf + 2);
    }

    void Check(const platform::TlsStatus& status) const {
        if (status.failure == platform::TlsFailure::kTimedOut && Cut()) {
            Fail(platform::kWsaTimedOut);
        }
        if (status.failure != platform::TlsFailure::kNone) {
            throw HttpError::Tls(TlsFailureText(status, target_, ca_file_));
        }
        if (status.socket_code != 0) {
            Fail(status.socket_code);
        }
    }

    // Whether the limits' cut-off (a stop) has ended the exchange.
    bool Cut() const { return exchange_.CutShort() && exchange_.Expired(); }

    [[noreturn]] void Fail(int code) const {
        using namespace platform;
        const std::string where = Where();
        const std::string& host =
            phase_ == Phase::Connecting && proxy_ ? proxy_->connect_host : target_.connect_host;
        const std::string proxy_word = phase_ == Phase::Connecting && proxy_ ? "proxy " : "";
        std::string text = SocketErrorText(code);
        if (!text.empty() && text.back() == '.') {
            text.pop_back();
        }
        switch (code) {
        case kWsaTimedOut:
            throw HttpError(TimedOutWords(), code);
        case kWsaConnectionRefused:
            throw HttpError("Connection refused by " + where, code);
        case kWsaHostNotFound:
            throw HttpError("Host name not resolved: " + proxy_word + host, code);
        case kWsaTryAgain:
        case kWsaNoRecovery:
        case kWsaNoData:
            throw HttpError("Host name not resolved: " + proxy_word + host + " (" + text + ")", code);
        default:
            break;
        }
        const std::string number = "socket error " + std::to_string(code);
        throw HttpError("Connection with " + where +
                            " failed: " + (text.empty() ? number : text + " (" + number + ")"),
                        code);
    }

    std::string TimedOutWords() const {
        if (Cut()) {
            return "Exchange with " + ServerWhere() + " cut short by the service's stop";
        }
        if (exchange_.Expired()) {
            return "No complete answer within " + Seconds(limits_.total_ms) + " from " + Where();
        }
        switch (phase_) {
        case Phase::Connecting:
            return "No connection within " + Seconds(limits_.connect_ms) + " to " + Where();
        case Phase::Tunnel:
            if (connecting_.Expired()) {
                return "No tunnel through " + Where() + " within " + Seconds(limits_.connect_ms);
            }
            break;
        case Phase::Handshake:
            return "TLS: no handshake with " + ServerWhere() + " within the time limit";
        case Phase::Exchanging:
            break;
        }
        return "No answer within " + Seconds(limits_.idle_ms) + " from " + Where();
    }

    const HttpTarget& target_;
    const std::optional<ProxyServer>& proxy_;
    const HttpLimits& limits_;
    const std::string& ca_file_;
    const Deadline exchange_;
    Deadline connecting_;
    Phase phase_ = Phase::Connecting;
    platform::TcpConnection tcp_;
    platform::TlsConnection tls_;
};

// Reads the answer on `connection`, each wait for the next bytes lasting at most `idle_ms`.
HttpAnswer ReadAnswer(Connection& connection, std::uint32_t idle_ms, std::size_t max_body_bytes) {
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

    Connection connection(target, proxy, limits_, ca_file_);
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
