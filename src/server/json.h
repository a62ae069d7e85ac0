#pragma once
// The JSON reader for the server's answers (RFC 8259, strict) and the reading rules the callers use:
// first-match member lookup, members by position, and the text of a value.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace telva {

enum class JsonKind : std::uint8_t { kObject, kArray, kString, kNumber, kTrue, kFalse, kNull };

// Containers nested deeper than this make a text unreadable, so hostile input cannot exhaust the stack.
inline constexpr int kMaxJsonDepth = 512;

// One parsed JSON value, stored inside the JsonDocument that owns it and valid while that document lives
// (a copy is a view of the same value). Objects keep their members in document order, duplicates included;
// strings hold their decoded text as UTF-8 (a lone surrogate escape in its generalized three-byte form);
// numbers hold the exact text of their literal.
class JsonValue {
public:
    JsonValue() = default; // null

    JsonKind kind() const { return kind_; }
    bool IsObject() const { return kind_ == JsonKind::kObject; }
    bool IsArray() const { return kind_ == JsonKind::kArray; }
    bool IsString() const { return kind_ == JsonKind::kString; }
    bool IsNumber() const { return kind_ == JsonKind::kNumber; }
    bool IsNull() const { return kind_ == JsonKind::kNull; }

    // A string's decoded content or a number's literal; empty for every other kind.
    std::string_view text() const { return IsString() || IsNumber() ? std::string_view(text_, size_) : ""; }
    // An array's elements, or an object's member values in document order; empty for every other kind.
    std::span<const JsonValue> items() const {
        return IsObject() || IsArray() ? std::span<const JsonValue>(items_, size_)
                                       : std::span<const JsonValue>();
    }
    // The decoded name of the object member this value is the value of; empty for any other value.
    std::string_view name() const { return std::string_view(name_, name_size_); }

private:
    friend class JsonParser;

    union {
        const char* text_ = nullptr; // string and number: the text, in the document's text store
        const JsonValue* items_;     // object and array: the first of size_ consecutive values
    };
    const char* name_ = nullptr;
    std::uint32_t size_ = 0; // bytes of text, or number of items
    std::uint32_t name_size_ = 0;
    JsonKind kind_ = JsonKind::kNull;
};

// A parsed text: every value of it in one array, every string and literal in one text store, and the value
// the document stands for (its root). Moving a document keeps every JsonValue of it valid.
class JsonDocument {
public:
    JsonDocument(JsonDocument&&) noexcept = default;
    JsonDocument& operator=(JsonDocument&&) noexcept = default;
    JsonDocument(const JsonDocument&) = delete;
    JsonDocument& operator=(const JsonDocument&) = delete;
    ~JsonDocument() = default;

    const JsonValue& root() const { return *root_; }
    // Makes `value`, which must be a value of this document, the value the document stands for; the rest
    // of the text is kept alive with it.
    void Select(const JsonValue& value) { root_ = &value; }

private:
    friend class JsonParser;
    JsonDocument() = default;

    std::unique_ptr<char[]> text_store_;
    std::vector<JsonValue> values_;
    const JsonValue* root_ = nullptr;
};

// Raised by ValueText for a number that has no text.
class JsonValueError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Parses bytes holding exactly one JSON object, with only whitespace (space, tab, CR, LF) around it. Any
// other text, invalid UTF-8, or nesting deeper than kMaxJsonDepth gives none.
std::optional<JsonDocument> ParseJsonObject(std::string_view bytes);

// The value of the first member of `object` named exactly `name`; none when absent or not an object.
const JsonValue* FindMember(const JsonValue& object, std::string_view name);

// The number of members of an object (0 for any other kind), and the value of the member at a position.
std::size_t MemberCount(const JsonValue& object);
const JsonValue& MemberAt(const JsonValue& object, std::size_t position);

// The text of a value: a string's content; a number by the service's number rules (see json_text.cpp);
// empty for true, false, null, objects and arrays. Raises JsonValueError for a number without text.
std::string ValueText(const JsonValue& value);

// The same number rule with an explicit decimal separator (ValueText takes the regional one).
std::string NumberText(std::string_view literal, std::string_view decimal_separator);

// True when `phrase` occurs inside any member name or string value of `value`, at any depth.
bool ContainsText(const JsonValue& value, std::string_view phrase);

} // namespace telva
