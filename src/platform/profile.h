#pragma once
// Reading one value of an initialization ("profile") file.

#include <string>

namespace telva::platform {

// The longest value returned, in UTF-16 code units; a longer one is cut.
inline constexpr std::size_t kProfileValueMaxUnits = 2047;

// The value of key in section of the file at path, or default_value when the file, the section or the key
// does not exist. Section and key names are compared without regard to case; blanks around the value and
// one enclosing pair of quotation marks are removed. Windows: GetPrivateProfileStringW, then the call that
// drops the platform's cached copy of the file. POSIX: the file is read anew and parsed by ParseProfileValue.
std::string ReadProfileString(const std::string& path, const std::string& section, const std::string& key,
                              const std::string& default_value);

// Whether the file at path can be read as a settings file at all: it opens, and on POSIX it is not UTF-16
// text (which the reader there does not take; the Windows reader does).
bool ProfileFileReadable(const std::string& path);

} // namespace telva::platform
