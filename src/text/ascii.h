#pragma once
// Small ASCII helpers shared by the readers of settings, HTTP answers, URLs and JSON. They treat only the
// ASCII letters, digits and blanks specially; every other byte passes through unchanged.

#include <string>
#include <string_view>

namespace telva {

constexpr char LowerAscii(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// `text` with A-Z lower-cased.
std::string LowerAscii(std::string_view text);

// True when `a` and `b` differ only in the case of ASCII letters.
bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b);

constexpr bool IsAsciiDigit(char c) {
    return c >= '0' && c <= '9';
}

// Spaces and tabs.
constexpr bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

// `text` without the spaces and tabs at either end.
std::string_view TrimBlanks(std::string_view text);

// The value of a hexadecimal digit (either case), or -1.
constexpr int HexDigitValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// "0123456789ABCDEF"[value] for 0..15.
constexpr char UpperHexDigit(unsigned value) {
    return "0123456789ABCDEF"[value & 0x0F];
}

} // namespace telva
