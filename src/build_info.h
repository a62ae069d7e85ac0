#pragma once
// What this build is: filled in at build time (cmake/build_info.cmake).

#include <string>

namespace telva {

const char* ProductVersion(); // the project's version, "0.1.0"
const char* SourceRevision(); // `git describe` of the source tree, or "unknown"
const char* BuildSystem();    // the system the program is built for, "Linux x86_64", "Windows x86_64"

// "telva4-audit <version> (<revision>) <system>", the answer to -VERSION.
std::string VersionLine();

} // namespace telva
