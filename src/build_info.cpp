#include "build_info.h"

namespace telva {

std::string VersionLine() {
    return std::string("telva4-audit ") + ProductVersion() + " (" + SourceRevision() + ") " + BuildSystem();
}

} // namespace telva
