#pragma once
// One TLS client connection (TLS 1.2 or later) over a TcpConnection, with the same bounded waits. The
// server's certificate is always verified: against the system's trust store and, when given, the CA
// certificates of a PEM file; the host name is sent for SNI and checked against the certificate. Nothing of
// the caller's is sent before the handshake has succeeded. Calls return a TlsStatus, never throw.
// POSIX: OpenSSL; Windows: SChannel.

#include "platform/deadline.h"
#include "platform/tcp.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace telva::platform {

// Why a TLS connection failed; kNone with a socket code is a plain socket failure (e.g. refused).
enum class TlsFailure {
    kNone,
    kCaFile,        // the CA file named in the settings cannot be read or holds no certificate
    kTimedOut,      // the handshake did not finish within the limits
    kClosed,        // the server closed or reset the connection during the handshake
    kNotTls,        // the server answered with something that is not TLS
    kHandshake,     // the handshake failed otherwise (protocol version, ciphers, an alert): see detail
    kSelfSigned,    // the certificate is self-signed and not trusted
    kUnknownIssuer, // the certificate's issuer is not trusted
    kExpired,       // the certificate (or one of its chain) has expired
    kNotYetValid,   // the certificate is not valid yet
    kNameMismatch,  // the certificate is not for the host name of the URL
    kCertificate,   // the certificate is rejected for another reason: see detail
    kProtocol,      // a TLS error after the handshake: see detail
};

struct TlsStatus {
    int socket_code = 0; // a Windows Sockets code (socket_error_text.h), 0 when none
    TlsFailure failure = TlsFailure::kNone;
    std::string detail; // the library's own words, for kHandshake, kCertificate and kProtocol

    bool ok() const { return socket_code == 0 && failure == TlsFailure::kNone; }

    static TlsStatus Failed(TlsFailure kind, std::string words = {}) {
        TlsStatus status;
        status.failure = kind;
        status.detail = std::move(words);
        return status;
    }
    static TlsStatus Socket(int code) {
        TlsStatus status;
        status.socket_code = code;
        return status;
    }
};

class TlsConnection {
public:
    TlsConnection();
    TlsConnection(const TlsConnection&) = delete;
    TlsConnection& operator=(const TlsConnection&) = delete;
    ~TlsConnection(); // closes the connection

    // Completes the TLS handshake over `tcp`, a connection already open to the server (directly or through
    // a proxy's tunnel), which this connection then owns, verifying the server's certificate for `host` (a
    // name or an IP address literal). `ca_file` (empty: none) names a PEM file of further trusted CA
    // certificates. The handshake ends by `deadline`; each wait for the peer lasts at most `idle_ms`.
    TlsStatus Connect(TcpConnection tcp, const std::string& host, const std::string& ca_file,
                      std::uint32_t idle_ms, const Deadline& deadline);

    // Sends every byte, encrypted; waits as TcpConnection::SendAll.
    TlsStatus SendAll(std::string_view bytes, std::uint32_t idle_ms, const Deadline& deadline);

    // Waits until `deadline` for bytes and stores up to `size` of them; `received` is their count, 0 when
    // the peer has ended the connection.
    TlsStatus Receive(char* buffer, std::size_t size, const Deadline& deadline, std::size_t& received);

private:
    struct Engine;
    std::unique_ptr<Engine> engine_;
};

} // namespace telva::platform
