#include "server/http_connection.h"

#include "platform/socket_error_text.h"
#include "platform/unicode.h"
#include "server/http_request.h"
#include "text/network_text.h"

#include <algorithm>

namespace telva {
namespace {

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

} // namespace

// "<status> <reason>" of an answer, its reason made safe to show.
std::string StatusText(const HttpAnswer& answer) {
    std::string text = std::to_string(answer.status);
    if (!answer.reason.empty()) {
        text += ' ';
        text += NetworkText(answer.reason);
    }
    return text;
}

void HttpConnection::Open() {
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
        Check(tls_.Connect(std::move(tcp_), target_.connect_host, ca_file_, limits_.idle_ms, connecting_));
    }
    phase_ = Phase::Exchanging;
}

void HttpConnection::SendAll(std::string_view bytes) {
    if (!target_.tls) {
        if (const int code = tcp_.SendAll(bytes, limits_.idle_ms, exchange_); code != 0) {
            Fail(code);
        }
        return;
    }
    Check(tls_.SendAll(bytes, limits_.idle_ms, exchange_));
}

std::size_t HttpConnection::Receive(char* buffer, std::size_t size, std::uint32_t idle_ms) {
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

std::string HttpConnection::Where() const {
    if (proxy_ && phase_ != Phase::Exchanging && phase_ != Phase::Handshake) {
        return "proxy " + proxy_->Where();
    }
    return Forwarded() ? ServerWhere() + " through proxy " + proxy_->Where() : ServerWhere();
}

void HttpConnection::OpenTunnel() {
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

std::size_t HttpConnection::HeadEnd(const std::string& head) {
    const std::size_t crlf = head.find("\r\n\r\n");
    const std::size_t lf = head.find("\n\n");
    return std::min(crlf == std::string::npos ? crlf : crlf + 4, lf == std::string::npos ? lf : lf + 2);
}

void HttpConnection::Check(const platform::TlsStatus& status) const {
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

void HttpConnection::Fail(int code) const {
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

std::string HttpConnection::TimedOutWords() const {
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

} // namespace telva
