// The settings reader over arbitrary file content: no crash, whatever it finds respects the value rules,
// and the lookup rules hold (names without regard to case, a leading byte-order mark ignored, the first
// matching key of the first matching section wins).

#include "platform/profile.h"
#include "platform/profile_text.h"
#include "platform/unicode.h"

#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

namespace {

using telva::platform::FindProfileValue;

void Require(bool condition) {
    if (!condition) {
        std::abort();
    }
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

std::string Upper(std::string_view text) {
    std::string upper(text);
    for (char& c : upper) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
    }
    return upper;
}

void CheckKey(std::string_view content, std::string_view key) {
    const std::optional<std::string> value = FindProfileValue(content, "SERVIDOR", key);

    // Section and key names are compared without regard to ASCII case.
    Require(FindProfileValue(content, "servidor", Upper(key)) == value);

    // A byte-order mark in front changes nothing (unless the content already starts with one, which the
    // reader skips only once).
    if (content.substr(0, 3) != "\xEF\xBB\xBF") {
        Require(FindProfileValue("\xEF\xBB\xBF" + std::string(content), "SERVIDOR", key) == value);
    }

    // A later section of the same name never overrides what an earlier one holds.
    const std::string later = std::string(content) + "\n[SERVIDOR]\n" + std::string(key) + "=later\n";
    const std::optional<std::string> with_later = FindProfileValue(later, "SERVIDOR", key);
    Require(with_later.has_value());
    if (value) {
        Require(*with_later == *value);
    }

    if (!value) {
        return;
    }
    const std::u16string units = telva::platform::Utf8ToUtf16(*value);
    Require(units.size() <= telva::platform::kProfileValueMaxUnits);
    Require(value->find_first_of("\r\n") == std::string::npos); // a value never spans lines
    // The value is the file's own bytes, unless it was cut: then it holds kProfileValueMaxUnits units, or
    // one less where the last character would have been split.
    if (content.find(*value) == std::string_view::npos) {
        Require(units.size() + 1 >= telva::platform::kProfileValueMaxUnits);
        return;
    }
    // Blanks around a value are never part of it, except inside quotation marks the reader removed (a cut
    // may end the value in a blank).
    const bool may_be_cut = units.size() + 1 >= telva::platform::kProfileValueMaxUnits;
    if (!may_be_cut && !value->empty() && (IsBlank(value->front()) || IsBlank(value->back()))) {
        const std::string quoted_double = "\"" + *value + "\"";
        const std::string quoted_single = "'" + *value + "'";
        Require(content.find(quoted_double) != std::string_view::npos ||
                content.find(quoted_single) != std::string_view::npos);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view content(reinterpret_cast<const char*>(data), size);
    for (const char* key : {"contrato", "endereco", "horario", "user", "pass", "timeout"}) {
        CheckKey(content, key);
    }
    return 0;
}
