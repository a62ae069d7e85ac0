#pragma once
// Reading UTF-8 one character at a time, for the writers that decide what each character of a text becomes.

#include <cstddef>
#include <string_view>

namespace telva {

// The length of the valid UTF-8 character that starts at `text[i]` (1 for ASCII), or 0 when the byte there
// starts none: a stray continuation byte, an overlong form, a surrogate's encoding, a value above U+10FFFF,
// or a sequence cut short.
std::size_t Utf8CharacterLength(std::string_view text, std::size_t i);

} // namespace telva
