#pragma once
// The error every failure of an HTTP exchange raises: a bad URL, a socket error, an expired wait, a
// malformed or oversized answer, a final status outside 2xx.

#include <stdexcept>
#include <string>

namespace telva {

class HttpError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

} // namespace telva
