#include "service/system_error.h"

#include <exception>

namespace telva {

std::string TrimSystemErrorText(std::string_view text) {
    while (!text.empty()) {
        const auto last = static_cast<unsigned char>(text.back());
        if (last > ' ' && last != '.') {
            break;
        }
        text.remove_suffix(1);
    }
    return std::string(text);
}

std::string SystemCallErrorText(std::uint32_t code, std::string_view system_text) {
    return "System Error.  Code: " + std::to_string(code) + ".\r\n" + std::string(system_text);
}

SystemCallError::SystemCallError(std::uint32_t code)
    : std::runtime_error(SystemCallErrorText(code, SystemErrorText(code))), code_(code) {}

std::string CurrentErrorMessage() {
    try {
        throw;
    } catch (const std::exception& error) {
        return error.what();
    } catch (...) {
        return "Unknown error";
    }
}

} // namespace telva
