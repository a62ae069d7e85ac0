#include "text/network_text.h"

#include "text/utf8.h"

#include <algorithm>
#include <cstdint>

namespace telva {
namespace {

bool IsControl(std::string_view text, std::size_t i, std::size_t length) {
    const auto lead = static_cast<std::uint8_t>(text[i]);
    if (length == 1) {
        return lead < 0x20 || lead == 0x7F;
    }
    if (length == 0) {
        return lead >= 0x80 && lead <= 0x9F;
    }
    // U+0080..U+009F: C2 80 .. C2 9F.
    return length == 2 && lead == 0xC2 && static_cast<std::uint8_t>(text[i + 1]) <= 0x9F;
}

} // namespace

ScrubbedText ScrubText(std::string_view text, ControlCharacters controls, std::size_t limit) {
    ScrubbedText result;
    result.text.reserve(std::min(text.size(), limit));
    std::size_t characters = 0;
    std::size_t i = 0;
    while (i < text.size()) {
        const std::size_t length = Utf8CharacterLength(text, i);
        const std::size_t step = length == 0 ? 1 : length;
        const bool control = IsControl(text, i, length);
        if (!(control && controls == ControlCharacters::Drop)) {
            if (characters == limit) {
                break;
            }
            ++characters;
            if (control) {
                result.text.push_back(' ');
            } else {
                result.text.append(text.substr(i, step));
            }
        }
        i += step;
    }
    result.bytes_left_out = text.size() - i;
    return result;
}

std::string NetworkText(std::string_view text) {
    ScrubbedText scrubbed = ScrubText(text, ControlCharacters::Blank, kNetworkTextLimit);
    if (scrubbed.bytes_left_out > 0) {
        scrubbed.text += " ... (" + std::to_string(scrubbed.bytes_left_out) + " more bytes)";
    }
    return std::move(scrubbed.text);
}

} // namespace telva
