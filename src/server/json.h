#pragma once
// The JSON reader for the server's answers (RFC 8259, strict) and the reading rules the callers use:
// first-match member lookup, members by position, and the text of a value.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>

namespace telva {

enum class JsonKind : std::uint8_t { kObject, kArray, kString, kNumber, kTrue, kFalse, kNull };

// Containers nested deeper than this make a text unreadable, so hostile input cannot exhaust the stack.
inline constexpr int kMaxJsonDepth = 512;

// One parsed JSON value, stored inside the JsonDocument that owns it and valid while that document lives.
// Objects keep their members in document order, duplicates included; strings hold their decoded text as
// UTF-8 (a lone surrogate escape in its generalized three-byte form); numbers hold the exact text of their
// literal. A value takes 8 bytes and finds its text, items and name by an offset from its own address, so
// a value is never copied: it is always used where its document holds it (by reference or pointer).
class JsonValue {
public:
    JsonValue() = default; // null, outside any document
    JsonValue(const JsonValue&) = delete;
    JsonValue& operator=(const JsonValue&) = delete;

    JsonKind kind() const { return static_cast<JsonKind>(word_ & kKindMask); }
    bool IsObject() const { return kind() == JsonKind::kObject; }
    bool IsArray() const { return kind() == JsonKind::kArray; }
    bool IsString() const { return kind() == JsonKind::kString; }
    bool IsNumber() const { return kind() == JsonKind::kNumber; }
    bool IsNull() const { return kind() == JsonKind::kNull; }

    // A string's decoded content or a number's literal; empty for every other kind.
    std::string_view text() const {
        return IsString() || IsNumber() ? std::string_view(Target(), Size()) : std::string_view();
    }
    // An array's elements, or an object's member values in document order; empty for every other kind.
    std::span<const JsonValue> items() const {
        if (!HasItems()) {
            return {};
        }
        // A named container's items follow the holder of its name.
        return std::span<const JsonValue>(reinterpret_cast<const JsonValue*>(Target()) + (Named() ? 1 : 0),
                                          Size());
    }
    // The decoded name of the object member this value is the value of; empty for any other value.
    std::string_view name() const {
        if (!Named()) {
            return {};
        }
        // The name's text is followed by its length, and the record ends where this value's text (or the
        // name's holder's target) begins.
        const char* end = HasItems() ? reinterpret_cast<const JsonValue*>(Target())->Target() : Target();
        std::uint32_t length = 0;
        std::memcpy(&length, end - sizeof length, sizeof length);
        return std::string_view(end - sizeof length - length, length);
    }

private:
    friend class JsonParser;

    static constexpr std::uint32_t kKindMask = 0x7;
    static constexpr std::uint32_t kNamed = 0x8;
    static constexpr int kSizeShift = 4;

    bool Named() const { return (word_ & kNamed) != 0; }
    // Bytes of text, or number of items.
    std::uint32_t Size() const { return word_ >> kSizeShift; }
    bool HasItems() const { return (IsObject() || IsArray()) && Size() != 0; }
    const char* Target() const { return reinterpret_cast<const char*>(this) + target_; }

    std::uint32_t word_ = static_cast<std::uint32_t>(JsonKind::kNull); // kind, named flag, size
    std::int32_t target_ = 0; // from this value to its text, its first item or its name's holder
};

// A parsed text: every value of it and every decoded string, literal and member name in one block, and the
// value the document stands for (its root). Moving a document keeps every JsonValue of it valid.
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

    struct BlockDelete {
        void operator()(std::byte* block) const noexcept { ::operator delete(block); }
    };
    std::unique_ptr<std::byte, BlockDelete> block_;
    const JsonValue* root_ = nullptr;
};

// Raised by ValueText for a number that has no text.
class JsonValueError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Parses bytes holding exactly one JSON object, with only whitespace (space, tab, CR, LF) around it. Any
// other text, invalid UTF-8, nesting deeper than kMaxJsonDepth, or a text of 256 MiB or more gives none.
// The document takes at most 4.5 bytes per byte of text, whatever its shape (8 bytes per value, of which
// the densest text holds one per two bytes, and its decoded strings and literals).
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
