// The settings reader over arbitrary file content: no crash, and whatever it finds respects the value rules.

#include "platform/profile.h"
#include "platform/profile_text.h"
#include "platform/unicode.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view content(reinterpret_cast<const char*>(data), size);
    for (const char* key : {"contrato", "endereco", "horario", "user", "pass", "timeout"}) {
        const auto value = telva::platform::FindProfileValue(content, "SERVIDOR", key);
        if (!value) {
            continue;
        }
        if (telva::platform::Utf8ToUtf16(*value).size() > telva::platform::kProfileValueMaxUnits) {
            std::abort();
        }
        if (value->find_first_of("\r\n") != std::string::npos) {
            std::abort(); // a value never spans lines
        }
    }
    return 0;
}
