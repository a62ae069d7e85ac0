#pragma once
// The connection of one HTTP exchange with the contract server: plain TCP to the server or to the proxy, TLS
// for https (through the proxy's tunnel when there is one). All its waits end by the exchange's deadline (the
// total limit and the stop's cut-off); every failure raises HttpError with words that name the peer and what
// went wrong, which the failed exchange's first log line shows.

#include "platform/deadline.h"
#include "platform/tcp.h"
#include "platform/tls.h"
#include "server/http_answer.h"
#include "server/http_error.h"
#include "server/http_limits.h"
#include "server/proxy.h"
#include "server/url.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace telva {

// "<status> <reason>" of an answer, its reason made safe to show.
std::string StatusText(const HttpAnswer& answer);

class HttpConnection {
public:
    HttpConnection(const HttpTarget& target, const std::optional<ProxyServer>& proxy,
                   const HttpLimits& limits, const std::string& ca_file)
        : target_(target), proxy_(proxy), limits_(limits), ca_file_(ca_file),
          exchange_(Deadline::In(limits.total_ms, limits.cutoff)), connecting_(exchange_) {}

    // Connects, opens the proxy's tunnel for https and completes the TLS handshake: all within the
    // connect limit; for https nothing of the caller's is sent before the certificate has been verified.
    void Open();

    // Sends every byte; each wait for the peer to take more lasts at most the idle limit.
    void SendAll(std::string_view bytes);

    // The next bytes of the answer, at most `size`, waiting at most `idle_ms`; 0 when the peer has closed
    // the connection.
    std::size_t Receive(char* buffer, std::size_t size, std::uint32_t idle_ms);

    // Whether the request goes to a proxy that forwards it (http through a proxy).
    bool Forwarded() const { return proxy_ && !target_.tls; }

    // Who the exchange is with, as failures name it.
    std::string Where() const;

    // The refusal of a proxy, in the words every proxy failure begins with.
    [[noreturn]] void ProxyRefused(const std::string& answer) const {
        throw HttpError("Proxy " + proxy_->Where() + " refused: " + answer);
    }

private:
    enum class Phase { Connecting, Tunnel, Handshake, Exchanging };

    std::string ServerWhere() const { return target_.host + ":" + std::to_string(target_.port); }

    // CONNECT to the server through the proxy; returns once the proxy has answered with a 2xx status.
    void OpenTunnel();

    // The length of the answer's head with its empty line (CR LF or a bare LF), or npos while incomplete.
    static std::size_t HeadEnd(const std::string& head);

    void Check(const platform::TlsStatus& status) const;

    // Whether the limits' cut-off (a stop) has ended the exchange.
    bool Cut() const { return exchange_.CutShort() && exchange_.Expired(); }

    [[noreturn]] void Fail(int code) const;

    std::string TimedOutWords() const;

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

} // namespace telva
