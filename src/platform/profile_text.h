#pragma once
// Our own reader of the initialization-file format, with the rules of the Windows profile reader.

#include <optional>
#include <string>
#include <string_view>

namespace telva::platform {

// Looks key up in section of the file content (UTF-8; a leading byte-order mark is skipped). Lines end in
// LF, CR LF or CR. A section starts at a line whose first non-blank character is '['; its name runs to the
// ']'. A key line holds the name, '=', and the value: everything after the first '='. Names are compared
// without regard to ASCII case, blanks (space, tab) around names and values are not part of them, and a
// value enclosed in one pair of double or single quotation marks loses the two marks. The first matching
// key of the first matching section wins; lines that are neither headers nor key lines are skipped, and
// lines starting with ';' are comments. The value is cut to kProfileValueMaxUnits UTF-16 units.
std::optional<std::string> FindProfileValue(std::string_view content, std::string_view section,
                                            std::string_view key);

} // namespace telva::platform
