#pragma once
// The one error the HTTP client raises, for every failed exchange: a bad URL, a socket error (its message
// then is "Socket Error # <code>\r\n<description>" and socket_code() the code), an expired wait, a malformed
// or oversized answer, a final status outside 2xx.

#include <stdexcept>
#include <string>

namespace telva {

class HttpError : public std::runtime_error {
public:
    explicit HttpError(const std::string& message, int socket_code = 0)
        : std::runtime_error(message), socket_code_(socket_code) {}

    // The Windows Sockets code of a socket failure; 0 for every other failure.
    int socket_code() const { return socket_code_; }

private:
    int socket_code_;
};

} // namespace telva
