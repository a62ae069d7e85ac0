#pragma once
// The one error the HTTP client raises, for every failed exchange: a bad URL or proxy setting, a socket error
// (socket_code() then is its code), an expired wait or a stop's cut-off, a proxy's refusal, a malformed or
// oversized answer, a final status outside 2xx, a failed TLS connection (tls() is true). Its message names
// the failure in one line of words for the technician ("Connection refused by 127.0.0.1:8080"), and is
// what a failed exchange's first log line shows when no answer text arrived.

#include <stdexcept>
#include <string>

namespace telva {

class HttpError : public std::runtime_error {
public:
    explicit HttpError(const std::string& message, int socket_code = 0)
        : std::runtime_error(message), socket_code_(socket_code) {}

    static HttpError Tls(const std::string& message) {
        HttpError error(message);
        error.tls_ = true;
        return error;
    }

    // The Windows Sockets code of a socket failure (10060 for an expired wait); 0 for every other failure.
    int socket_code() const { return socket_code_; }

    // Whether the exchange failed on TLS: no TLS on the port, a failed handshake, a rejected certificate.
    bool tls() const { return tls_; }

private:
    int socket_code_;
    bool tls_ = false;
};

} // namespace telva
