#pragma once
// Text that came from the network (a server's answer or error texts, a printer list's values, an SNMP value)
// is data: before it is written into the daily log, onto a console or into a report it loses every control
// character and is bounded, so that it can neither forge or split a log line, nor cut the log file (0x1A),
// nor drive a terminal (escape sequences, bells), nor make one line of any size.

#include <cstddef>
#include <string>
#include <string_view>

namespace telva {

// The most characters of one network text that are written out.
inline constexpr std::size_t kNetworkTextLimit = 1000;

// What becomes of a control character: U+0000..U+001F, U+007F, U+0080..U+009F (and a byte 0x80..0x9F that
// is not part of a valid UTF-8 character, which a terminal reading ISO-8859-1 would take for one).
enum class ControlCharacters {
    Blank, // each becomes one space
    Drop,  // each is left out
};

struct ScrubbedText {
    std::string text;
    std::size_t bytes_left_out = 0; // of the input, beyond the last character taken
};

// `text` with its control characters blanked or dropped, at most `limit` characters (a dropped control
// character does not count). Other bytes, valid UTF-8 or not, pass unchanged.
ScrubbedText ScrubText(std::string_view text, ControlCharacters controls, std::size_t limit);

// `text` made safe to write: every control character becomes one space, and a text of more than
// kNetworkTextLimit characters is cut there and followed by " ... (" + N + " more bytes)".
std::string NetworkText(std::string_view text);

} // namespace telva
