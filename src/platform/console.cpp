#include "platform/console.h"

#include <cstdio>

namespace telva::platform {
namespace {

void Write(std::FILE* stream, std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), stream);
    std::fflush(stream);
}

} // namespace

void WriteOut(std::string_view text) {
    Write(stdout, text);
}

void WriteError(std::string_view text) {
    Write(stderr, text);
}

} // namespace telva::platform
