#pragma once
// Conversions between the text forms the service meets. Text inside the program is UTF-8; a lone UTF-16
// surrogate (which a JSON \u escape can produce) is kept as its three-byte generalized UTF-8 form so that
// nothing is lost before the text reaches a boundary that decides what to do with it.

#include <cstdint>
#include <string>
#include <string_view>

namespace telva::platform {

// Decodes UTF-8 (generalized: surrogates allowed) into UTF-16 code units. An invalid byte becomes U+FFFD.
std::u16string Utf8ToUtf16(std::string_view utf8);

// Encodes UTF-16 code units as UTF-8; a lone surrogate keeps its three-byte generalized form.
std::string Utf16ToUtf8(std::u16string_view utf16);

// True when every byte is below 0x80: ASCII text, the same in UTF-8 and in ISO-8859-1.
bool IsAscii(std::string_view bytes);

// Appends one code point (0..0x10FFFF, surrogates included) in generalized UTF-8.
void AppendUtf8(std::string& out, char32_t code_point);
// The same, written at `out` (room for four bytes); yields the position after the last byte written.
char* WriteUtf8(char32_t code_point, char* out);

// Each byte becomes the character with the same number (ISO-8859-1).
std::string Latin1ToUtf8(std::string_view bytes);

// Each UTF-16 code unit up to U+00FF becomes that byte, every other unit becomes '?': a character outside
// the Basic Multilingual Plane therefore gives two '?'.
std::string Utf8ToLatin1(std::string_view utf8);

// Each UTF-16 code unit up to U+007F becomes that byte, every other unit becomes '?'.
std::string Utf8ToAsciiUnits(std::string_view utf8);

// Lower-cases every character that has a simple lower-case form in Latin-1 (A-Z, U+00C0..U+00DE except
// U+00D7); other characters are copied unchanged.
std::string ToLowerText(std::string_view utf8);

} // namespace telva::platform
