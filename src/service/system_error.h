#pragma once
// Error texts of the operating system as the service shows them.

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace telva {

// Removes every trailing blank, control character and full stop.
std::string TrimSystemErrorText(std::string_view text);

// The operating system's message for an error code, trimmed as above.
std::string SystemErrorText(std::uint32_t code);

// "System Error.  Code: %d." + CR LF + the system's text: the text of a failed system call.
std::string SystemCallErrorText(std::uint32_t code, std::string_view system_text);

// A failed system call, carrying SystemCallErrorText as its message.
class SystemCallError : public std::runtime_error {
public:
    explicit SystemCallError(std::uint32_t code);
    std::uint32_t Code() const { return code_; }

private:
    std::uint32_t code_;
};

// The message of the error being handled: what() of a standard exception, a fixed text otherwise. Only
// call it inside a catch block.
std::string CurrentErrorMessage();

} // namespace telva
