#pragma once
// The one error the HTTP client raises, for every failed exchange: a bad URL, a socket error (its message
// then is "Socket Error # <code>\r\n<description>" and socket_code() the code), an expired wait, a malformed
// or oversized answer, a final status outside 2xx, a failed TLS connection (its message then names the
// failure in words for the technician, and tls() is true).

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

    // The Windows Sockets code of a socket failure; 0 for every other failure.
    int socket_code() const { return socket_code_; }

    // Whether the exchange failed on TLS: no TLS on the port, a failed handshake, a rejected certificate.
    bool tls() const { return tls_; }

private:
    int socket_code_;
    bool tls_ = false;
};

} // namespace telva
