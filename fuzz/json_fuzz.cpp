// The JSON reader over arbitrary bytes, and the reading rules over whatever it accepts. Properties:
// - the nesting of an accepted text never exceeds kMaxJsonDepth, and wrapping it up to exactly that depth
//   still parses while one level more does not;
// - an accepted object written back by the small writer below parses again to the same structure;
// - whitespace around the object changes nothing;
// - FindMember finds the first member of a name, MemberCount and MemberAt agree with the members;
// - ValueText gives a string's text, a number's digits or JsonValueError, and nothing for other kinds;
// - ContainsText agrees with a plain search of every name and string for the "Sign in required" phrase.

#include "platform/unicode.h"
#include "server/api_call.h"
#include "server/json.h"

#include <cstdint>
#include <cstdlib>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace {

using telva::JsonKind;
using telva::JsonValue;

constexpr std::string_view kSignInPhrase = telva::kSessionExpiredPhrase;

void Require(bool condition) {
    if (!condition) {
        std::abort();
    }
}

// Containers on the deepest path: 1 for an object holding only scalars.
int DepthOf(const JsonValue& value) {
    if (!value.IsObject() && !value.IsArray()) {
        return 0;
    }
    int deepest = 0;
    for (const JsonValue& item : value.items()) {
        const int depth = DepthOf(item);
        deepest = depth > deepest ? depth : deepest;
    }
    return deepest + 1;
}

// Writes a string with every character outside printable ASCII as \u escapes of its UTF-16 units, so a
// lone surrogate the reader kept goes back the way it came in.
void WriteString(std::string_view text, std::string& out) {
    static constexpr char kHex[] = "0123456789abcdef";
    out.push_back('"');
    for (const char16_t unit : telva::platform::Utf8ToUtf16(text)) {
        if (unit >= 0x20 && unit < 0x7F && unit != '"' && unit != '\\') {
            out.push_back(static_cast<char>(unit));
        } else {
            out += "\\u";
            for (int shift = 12; shift >= 0; shift -= 4) {
                out.push_back(kHex[(unit >> shift) & 0xF]);
            }
        }
    }
    out.push_back('"');
}

void WriteValue(const JsonValue& value, std::string& out) {
    switch (value.kind()) {
    case JsonKind::kObject:
        out.push_back('{');
        for (std::size_t i = 0; i < value.items().size(); ++i) {
            if (i != 0) {
                out.push_back(',');
            }
            WriteString(value.items()[i].name(), out);
            out.push_back(':');
            WriteValue(value.items()[i], out);
        }
        out.push_back('}');
        break;
    case JsonKind::kArray:
        out.push_back('[');
        for (std::size_t i = 0; i < value.items().size(); ++i) {
            if (i != 0) {
                out.push_back(',');
            }
            WriteValue(value.items()[i], out);
        }
        out.push_back(']');
        break;
    case JsonKind::kString:
        WriteString(value.text(), out);
        break;
    case JsonKind::kNumber:
        out += value.text();
        break;
    case JsonKind::kTrue:
        out += "true";
        break;
    case JsonKind::kFalse:
        out += "false";
        break;
    case JsonKind::kNull:
        out += "null";
        break;
    }
}

bool SameStructure(const JsonValue& a, const JsonValue& b) {
    if (a.kind() != b.kind() || a.text() != b.text() || a.items().size() != b.items().size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.items().size(); ++i) {
        if ((a.IsObject() && a.items()[i].name() != b.items()[i].name()) ||
            !SameStructure(a.items()[i], b.items()[i])) {
            return false;
        }
    }
    return true;
}

// Every name and string of the tree, without recursion.
bool PlainSearch(const JsonValue& root, std::string_view phrase) {
    std::vector<const JsonValue*> pending{&root};
    while (!pending.empty()) {
        const JsonValue* value = pending.back();
        pending.pop_back();
        if (value->IsString() && value->text().find(phrase) != std::string_view::npos) {
            return true;
        }
        for (const JsonValue& item : value->items()) {
            if (value->IsObject() && item.name().find(phrase) != std::string_view::npos) {
                return true;
            }
            pending.push_back(&item);
        }
    }
    return false;
}

bool IsNumberText(const std::string& text) {
    if (text.empty()) {
        return false;
    }
    for (const char c : text) {
        const bool allowed =
            (c >= '0' && c <= '9') || c == '-' || c == '+' || c == 'e' || c == '.' || c == ',';
        if (!allowed) {
            return false;
        }
    }
    return true;
}

void CheckReadingRules(const JsonValue& value) {
    // ValueText by kind.
    try {
        const std::string text = telva::ValueText(value);
        if (value.IsString()) {
            Require(text == value.text());
        } else if (value.IsNumber()) {
            Require(IsNumberText(text));
        } else {
            Require(text.empty());
        }
    } catch (const telva::JsonValueError&) {
        Require(value.IsNumber());
    }

    // Members by name and by position.
    if (value.IsObject()) {
        const auto members = value.items();
        Require(telva::MemberCount(value) == members.size());
        for (std::size_t i = 0; i < members.size(); ++i) {
            Require(&telva::MemberAt(value, i) == &members[i]);
            const JsonValue* found = telva::FindMember(value, members[i].name());
            Require(found != nullptr);
            std::size_t first = 0;
            while (members[first].name() != members[i].name()) {
                ++first;
            }
            Require(found == &value.items()[first]);
        }
        bool out_of_range = false;
        try {
            (void)telva::MemberAt(value, value.items().size());
        } catch (const std::out_of_range&) {
            out_of_range = true;
        }
        Require(out_of_range);
    } else {
        Require(telva::MemberCount(value) == 0);
        Require(telva::FindMember(value, "") == nullptr);
        bool refused = false;
        try {
            (void)telva::MemberAt(value, 0);
        } catch (const std::out_of_range&) {
            refused = true;
        }
        Require(refused);
    }
    for (const JsonValue& item : value.items()) {
        CheckReadingRules(item);
    }
}

void CheckDepthBound(const std::string& written, int depth) {
    const int room = telva::kMaxJsonDepth - depth;
    std::string deepest;
    for (int i = 0; i < room; ++i) {
        deepest += "{\"a\":";
    }
    deepest += written;
    deepest.append(static_cast<std::size_t>(room), '}');
    Require(telva::ParseJsonObject(deepest).has_value());
    Require(!telva::ParseJsonObject("{\"a\":" + deepest + "}").has_value());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const std::optional<telva::JsonDocument> document = telva::ParseJsonObject(bytes);
    const bool signed_out = document && telva::ContainsText(document->root(), kSignInPhrase);
    if (!document) {
        Require(!telva::ParseJsonObject(" " + std::string(bytes) + "\r\n").has_value());
        return 0;
    }
    const JsonValue* parsed = &document->root();
    Require(parsed->IsObject());
    const int depth = DepthOf(*parsed);
    Require(depth >= 1 && depth <= telva::kMaxJsonDepth);

    Require(signed_out == PlainSearch(*parsed, kSignInPhrase));
    CheckReadingRules(*parsed);

    std::string written;
    WriteValue(*parsed, written);
    const std::optional<telva::JsonDocument> again = telva::ParseJsonObject(written);
    Require(again.has_value() && SameStructure(*parsed, again->root()));

    const std::optional<telva::JsonDocument> padded =
        telva::ParseJsonObject("\t " + std::string(bytes) + "\r\n ");
    Require(padded.has_value() && SameStructure(*parsed, padded->root()));

    // Building and reading the deepest document is costly: done for a sample of the inputs only.
    if (written.size() < 4096 && (size % 16 == 0 || depth > telva::kMaxJsonDepth - 8)) {
        CheckDepthBound(written, depth);
    }
    return 0;
}
