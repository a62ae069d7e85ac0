#pragma once
// Turning the body of an answer into text, and that text into the ASCII bytes the JSON reader parses.

#include <string>
#include <string_view>

namespace telva {

// The charset parameter of a Content-Type value, lower-cased and unquoted; empty when there is none.
std::string CharsetOf(std::string_view content_type);

// The body as UTF-8 text by the charset the Content-Type names: utf-8 (an invalid byte becomes U+FFFD),
// iso-8859-1, us-ascii (a byte from 0x80 on becomes "?") and windows-1252. No charset, or one not known
// here: each byte becomes the character with the same number.
std::string DecodeAnswerText(std::string_view body, std::string_view content_type);
// DecodeAnswerText for a body the caller gives up: a body of ASCII bytes only, which every charset above
// reads as itself, is handed back without a copy.
std::string DecodeAnswerBody(std::string&& body, std::string_view content_type);

// Reduces UTF-8 text to 7-bit ASCII: each UTF-16 unit up to U+007F stays, common Latin letters with
// diacritics and a few typographic marks become their nearest ASCII character, and everything else
// becomes "?" (a character outside the Basic Multilingual Plane gives "??").
std::string ReduceToAscii(std::string_view utf8);

} // namespace telva
