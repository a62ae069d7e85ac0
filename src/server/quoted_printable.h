#pragma once
// The quoted-printable encoding of one form value, as the contract server expects it in a multipart part.

#include <string>
#include <string_view>

namespace telva {

// Appends the quoted-printable form of `bytes` (already one byte per character) to `out`. The value is cut
// into lines at CR LF, lone LF and lone CR; each line is encoded by itself; spaces and tabs at the end of a
// line, "=", control bytes and bytes from 0x7F on are written as "=XX"; a "." that would begin an output
// line becomes "=2E"; a soft line break follows once an output line holds 70 or more characters; and every
// line, the last one included, ends with CR LF. An empty value gives nothing at all.
void AppendQuotedPrintable(std::string_view bytes, std::string& out);

} // namespace telva
