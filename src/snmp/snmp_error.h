#pragma once
// The error an SNMP query raises. Its message is exactly the text the audit run logs.

#include <stdexcept>
#include <string>

namespace telva {

class SnmpError : public std::runtime_error {
public:
    explicit SnmpError(const std::string& message) : std::runtime_error(message) {}
};

inline constexpr const char* kBindErrorMessage =
    "Could not bind socket. Address and port are already in use.";
inline constexpr const char* kPackageTooBigMessage = "Package Size Too Big.";
inline constexpr const char* kNotAllSentMessage = "Not all bytes sent.";

} // namespace telva
