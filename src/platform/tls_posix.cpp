#include "platform/tls.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <climits>

#include "platform/socket_error_text.h"
#include "platform/tcp.h"

// OpenSSL works on two memory buffers here, never on the socket: the TcpConnection carries the bytes with
// its bounded waits, so the handshake and every record obey the same limits as plain HTTP.

namespace telva::platform {
namespace {

bool IsAddressLiteral(const std::string& host) {
    in6_addr v6{};
    in_addr v4{};
    return inet_pton(AF_INET6, host.c_str(), &v6) == 1 || inet_pton(AF_INET, host.c_str(), &v4) == 1;
}

// The text of the newest error in OpenSSL's queue, and the queue emptied.
std::string TakeErrorText() {
    const unsigned long code = ERR_peek_last_error();
    std::string text;
    if (code != 0) {
        const char* reason = ERR_reason_error_string(code);
        text = reason != nullptr ? reason : "error " + std::to_string(code);
    }
    ERR_clear_error();
    return text;
}

TlsStatus VerifyFailure(long result) {
    switch (result) {
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
        return TlsStatus::Failed(TlsFailure::kSelfSigned);
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
        return TlsStatus::Failed(TlsFailure::kUnknownIssuer);
    case X509_V_ERR_CERT_HAS_EXPIRED:
        return TlsStatus::Failed(TlsFailure::kExpired);
    case X509_V_ERR_CERT_NOT_YET_VALID:
        return TlsStatus::Failed(TlsFailure::kNotYetValid);
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
        return TlsStatus::Failed(TlsFailure::kNameMismatch);
    default:
        return TlsStatus::Failed(TlsFailure::kCertificate, X509_verify_cert_error_string(result));
    }
}

// A handshake error that is no certificate verdict: bytes that are not TLS, or another failure.
TlsStatus HandshakeFailure() {
    const unsigned long code = ERR_peek_last_error();
    const int reason = ERR_GET_REASON(code);
    if (ERR_GET_LIB(code) == ERR_LIB_SSL &&
        (reason == SSL_R_WRONG_VERSION_NUMBER || reason == SSL_R_PACKET_LENGTH_TOO_LONG ||
         reason == SSL_R_UNKNOWN_PROTOCOL || reason == SSL_R_HTTP_REQUEST ||
         reason == SSL_R_HTTPS_PROXY_REQUEST)) {
        ERR_clear_error();
        return TlsStatus::Failed(TlsFailure::kNotTls);
    }
    std::string detail = TakeErrorText();
    return TlsStatus::Failed(TlsFailure::kHandshake, detail.empty() ? "no reason given" : detail);
}

} // namespace

struct TlsConnection::Engine {
    TcpConnection tcp;
    SSL_CTX* context = nullptr;
    SSL* ssl = nullptr;
    BIO* incoming = nullptr; // owned by ssl
    BIO* outgoing = nullptr; // owned by ssl

    ~Engine() {
        SSL_free(ssl);
        SSL_CTX_free(context);
    }

    // Sends what OpenSSL has written into the outgoing buffer.
    int Flush(std::uint32_t idle_ms, const Deadline& deadline) {
        char* data = nullptr;
        const long size = BIO_get_mem_data(outgoing, &data);
        if (size <= 0) {
            return 0;
        }
        const int code =
            tcp.SendAll(std::string_view(data, static_cast<std::size_t>(size)), idle_ms, deadline);
        (void)BIO_reset(outgoing);
        return code;
    }

    // Moves what the peer sends until `deadline` into the incoming buffer; `closed` when it ended.
    int Fill(const Deadline& deadline, bool& closed) {
        char buffer[16 * 1024];
        std::size_t received = 0;
        if (const int code = tcp.Receive(buffer, sizeof buffer, deadline, received); code != 0) {
            return code;
        }
        closed = received == 0;
        if (!closed) {
            BIO_write(incoming, buffer, static_cast<int>(received));
        }
        return 0;
    }
};

TlsConnection::TlsConnection() : engine_(std::make_unique<Engine>()) {}

TlsConnection::~TlsConnection() = default;

TlsStatus TlsConnection::Connect(TcpConnection tcp, const std::string& host, const std::string& ca_file,
                                 std::uint32_t idle_ms, const Deadline& deadline) {
    engine_ = std::make_unique<Engine>();
    Engine& engine = *engine_;
    engine.tcp = std::move(tcp);
    ERR_clear_error();
    engine.context = SSL_CTX_new(TLS_client_method());
    if (engine.context == nullptr) {
        return TlsStatus::Failed(TlsFailure::kHandshake, TakeErrorText());
    }
    SSL_CTX_set_min_proto_version(engine.context, TLS1_2_VERSION);
    SSL_CTX_set_options(engine.context, SSL_OP_IGNORE_UNEXPECTED_EOF);
    SSL_CTX_set_verify(engine.context, SSL_VERIFY_PEER, nullptr);
    SSL_CTX_set_default_verify_paths(engine.context);
    if (!ca_file.empty() && SSL_CTX_load_verify_locations(engine.context, ca_file.c_str(), nullptr) != 1) {
        ERR_clear_error();
        return TlsStatus::Failed(TlsFailure::kCaFile);
    }
    engine.ssl = SSL_new(engine.context);
    engine.incoming = BIO_new(BIO_s_mem());
    engine.outgoing = BIO_new(BIO_s_mem());
    if (engine.ssl == nullptr || engine.incoming == nullptr || engine.outgoing == nullptr) {
        BIO_free(engine.incoming);
        BIO_free(engine.outgoing);
        engine.incoming = engine.outgoing = nullptr;
        return TlsStatus::Failed(TlsFailure::kHandshake, TakeErrorText());
    }
    SSL_set_bio(engine.ssl, engine.incoming, engine.outgoing);
    X509_VERIFY_PARAM* verify = SSL_get0_param(engine.ssl);
    X509_VERIFY_PARAM_set_hostflags(verify, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    if (IsAddressLiteral(host)) {
        X509_VERIFY_PARAM_set1_ip_asc(verify, host.c_str());
    } else {
        X509_VERIFY_PARAM_set1_host(verify, host.c_str(), host.size());
        SSL_ctrl(engine.ssl, SSL_CTRL_SET_TLSEXT_HOSTNAME, TLSEXT_NAMETYPE_host_name,
                 const_cast<char*>(host.c_str()));
    }
    SSL_set_connect_state(engine.ssl);

    while (true) {
        const int result = SSL_connect(engine.ssl);
        const int error = result == 1 ? SSL_ERROR_NONE : SSL_get_error(engine.ssl, result);
        const long verdict = SSL_get_verify_result(engine.ssl);
        // What OpenSSL has to say goes out, an alert after a failure included.
        const int sent = engine.Flush(idle_ms, deadline);
        if (verdict != X509_V_OK) {
            ERR_clear_error();
            return VerifyFailure(verdict);
        }
        if (error == SSL_ERROR_NONE) {
            if (sent != 0) {
                return sent == kWsaTimedOut ? TlsStatus::Failed(TlsFailure::kTimedOut)
                                            : TlsStatus::Failed(TlsFailure::kClosed);
            }
            return {};
        }
        if (error != SSL_ERROR_WANT_READ) {
            return HandshakeFailure();
        }
        if (sent != 0) {
            return sent == kWsaTimedOut ? TlsStatus::Failed(TlsFailure::kTimedOut)
                                        : TlsStatus::Failed(TlsFailure::kClosed);
        }
        bool closed = false;
        if (const int code = engine.Fill(deadline.Within(idle_ms), closed); code != 0 || closed) {
            return code == kWsaTimedOut ? TlsStatus::Failed(TlsFailure::kTimedOut)
                                        : TlsStatus::Failed(TlsFailure::kClosed);
        }
    }
}

TlsStatus TlsConnection::SendAll(std::string_view bytes, std::uint32_t idle_ms, const Deadline& deadline) {
    Engine& engine = *engine_;
    while (!bytes.empty()) {
        const int piece = static_cast<int>(std::min<std::size_t>(bytes.size(), 16 * 1024));
        const int written = SSL_write(engine.ssl, bytes.data(), piece);
        if (written <= 0) {
            return TlsStatus::Failed(TlsFailure::kProtocol, TakeErrorText());
        }
        bytes.remove_prefix(static_cast<std::size_t>(written));
        if (const int code = engine.Flush(idle_ms, deadline); code != 0) {
            return TlsStatus::Socket(code);
        }
    }
    return {};
}

TlsStatus TlsConnection::Receive(char* buffer, std::size_t size, const Deadline& deadline,
                                 std::size_t& received) {
    Engine& engine = *engine_;
    received = 0;
    const int piece = static_cast<int>(std::min<std::size_t>(size, INT_MAX));
    while (true) {
        const int count = SSL_read(engine.ssl, buffer, piece);
        const int error = count > 0 ? SSL_ERROR_NONE : SSL_get_error(engine.ssl, count);
        // A read may make OpenSSL answer the peer (a key update).
        if (const int code = engine.Flush(deadline.LeftMs(), deadline); code != 0) {
            return TlsStatus::Socket(code);
        }
        if (error == SSL_ERROR_NONE) {
            received = static_cast<std::size_t>(count);
            return {};
        }
        if (error == SSL_ERROR_ZERO_RETURN) {
            return {};
        }
        if (error != SSL_ERROR_WANT_READ) {
            return TlsStatus::Failed(TlsFailure::kProtocol, TakeErrorText());
        }
        bool closed = false;
        if (const int code = engine.Fill(deadline, closed); code != 0) {
            return TlsStatus::Socket(code);
        }
        if (closed) {
            // The peer ended the connection without a closing alert: the end of the answer, as over TCP.
            return {};
        }
    }
}

} // namespace telva::platform
