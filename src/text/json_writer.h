#pragma once
// Writing JSON text: strings quoted and escaped so that any bytes give a valid document.

#include <string>
#include <string_view>

namespace telva {

// Appends `text` as a JSON string: quotation marks around it; '"', '\' and control characters escaped;
// valid UTF-8 kept as it is; a byte that is not part of a valid UTF-8 character (a surrogate's encoding
// among them) becomes U+FFFD, so the document stays valid whatever a printer or server sent.
void AppendJsonString(std::string& out, std::string_view text);

} // namespace telva
