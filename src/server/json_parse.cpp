// The strict JSON reader: one pass over the bytes, values built in place.

#include "server/json.h"

#include "platform/unicode.h"
#include "text/ascii.h"

#include <array>
#include <cstring>
#include <limits>
#include <new>

namespace telva {
namespace {

// Bytes a string copies unchanged without a closer look: everything but the quote, the backslash, control
// bytes and the bytes of multi-byte UTF-8 sequences.
constexpr std::array<bool, 256> MakePlainTable() {
    std::array<bool, 256> table{};
    for (int c = 0x20; c < 0x80; ++c) {
        table[static_cast<std::size_t>(c)] = c != '"' && c != '\\';
    }
    return table;
}
constexpr std::array<bool, 256> kPlain = MakePlainTable();

// The commas and opening brackets in one byte: each may begin a value.
std::size_t ValueMarks(char c) {
    return static_cast<std::size_t>(c == ',') + static_cast<std::size_t>(c == '[') +
           static_cast<std::size_t>(c == '{');
}

// The room a text that parses needs: `values` bounds the number of its values, `holders` the number of
// its named containers that hold items (each takes one slot more, for its name). Every value is the root,
// the first item of a container, or follows a comma. Counting every comma and bracket is quick and close
// for ordinary text, which holds few values for its size; when the count is large for the text's size
// (dense arrays, or a hostile answer whose strings are full of commas), it is redone outside strings and
// without the empty containers, so the room follows the values really there: the slots then fill up
// completely, and the memory a parse takes is that of its values.
struct Room {
    std::size_t values = 1;
    std::size_t holders = 0;
};

// The commas and opening brackets of the text, counted in blocks whose counts fit a byte, which lets the
// compiler count many bytes at once.
std::size_t CountMarks(std::string_view bytes) {
    constexpr std::size_t kBlock = 240;
    std::size_t count = 0;
    std::size_t i = 0;
    for (; i + kBlock <= bytes.size(); i += kBlock) {
        std::uint8_t in_block = 0;
        for (std::size_t j = 0; j < kBlock; ++j) {
            in_block = static_cast<std::uint8_t>(in_block + ValueMarks(bytes[i + j]));
        }
        count += in_block;
    }
    for (; i < bytes.size(); ++i) {
        count += ValueMarks(bytes[i]);
    }
    return count;
}

Room CountRoom(std::string_view bytes) {
    Room room;
    room.values += CountMarks(bytes);
    if (room.values <= bytes.size() / 16) {
        room.holders = room.values;
        return room;
    }
    room = Room();
    bool in_string = false;
    char previous = 0;           // the last byte outside strings that is not whitespace
    bool previous_named = false; // whether the container `previous` opened is a member's value
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const char c = bytes[i];
        if (in_string) {
            if (c == '\\') {
                ++i; // the escaped character, never the end of the string
            } else if (c == '"') {
                in_string = false;
            }
            continue;
        }
        switch (c) {
        case ' ':
        case '\t':
        case '\r':
        case '\n':
            continue;
        case '"':
            in_string = true;
            break;
        case ',':
            ++room.values;
            break;
        case '[':
        case '{':
            // Counted as holding an item until it turns out empty.
            ++room.values;
            previous_named = previous == ':';
            room.holders += previous_named ? 1 : 0;
            break;
        case ']':
        case '}':
            if (previous == '[' || previous == '{') {
                --room.values;
                room.holders -= previous_named ? 1 : 0;
            }
            break;
        default:
            break;
        }
        previous = c;
    }
    return room;
}

// Texts are refused from this size on, so that every offset and size within a document fits its field.
constexpr std::size_t kMaxTextBytes = std::size_t{1} << 28;

} // namespace

// Reads a text in one pass into one block: value slots first, then the text store. Open containers collect
// their items on a scratch stack that grows up from the start of the slots; a container that closes copies
// them, in order, to the finished values, which grow down from the end of the slots. The copy may overlap
// the items it comes from (it runs from the last item to the first), so the slots need be no more than the
// text's values: a dense text fills them from both ends. A value on the scratch stack holds its target as
// an offset from the block's start, a finished value from its own address. Decoded strings, number
// literals and member names (each name followed by its length) are written one after another into the
// text store, which never needs more than the text and two bytes per value (decoding never lengthens a
// string; a name's length takes two bytes more than its quotes).
class JsonParser {
public:
    JsonParser(const char* begin, const char* end) : p_(begin), end_(end) {}

    std::optional<JsonDocument> ParseDocument() {
        SkipWhitespace();
        if (p_ == end_ || *p_ != '{') {
            return std::nullopt;
        }
        const Room room = CountRoom(std::string_view(p_, static_cast<std::size_t>(end_ - p_)));
        const std::size_t slots = room.values + room.holders;
        const std::size_t store = static_cast<std::size_t>(end_ - p_) + 2 * room.values;
        const std::size_t block = slots * sizeof(JsonValue) + store;
        if (block > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
            return std::nullopt;
        }
        JsonDocument document;
        // Left uninitialized: only what is written is ever read, and pages never written are never taken.
        document.block_.reset(static_cast<std::byte*>(::operator new(block)));
        block_ = reinterpret_cast<char*>(document.block_.get());
        scratch_top_ = reinterpret_cast<JsonValue*>(block_);
        finished_ = scratch_top_ + slots;
        out_ = block_ + slots * sizeof(JsonValue);

        JsonValue* const root = Push();
        if (!ParseValue(root, 0, kNoName)) {
            return std::nullopt;
        }
        SkipWhitespace();
        if (p_ != end_ || finished_ == root) {
            return std::nullopt;
        }
        --finished_;
        Place(finished_, *root);
        scratch_top_ = root;
        document.root_ = finished_;
        return document;
    }

private:
    static constexpr std::int32_t kNoName = -1;

    std::int32_t Offset(const void* at) const {
        return static_cast<std::int32_t>(static_cast<const char*>(at) - block_);
    }

    // A fresh slot on the scratch stack; none when the slots are used up, which a text that parses never
    // does.
    JsonValue* Push() {
        if (scratch_top_ == finished_) {
            return nullptr;
        }
        return new (scratch_top_++) JsonValue();
    }

    static void Set(JsonValue& slot, JsonKind kind, std::uint32_t size, std::int32_t name,
                    std::int32_t target) {
        slot.word_ = static_cast<std::uint32_t>(kind) | (name != kNoName ? JsonValue::kNamed : 0U) |
                     size << JsonValue::kSizeShift;
        slot.target_ = target;
    }

    // Writes a value from the scratch stack as a finished value at `to`; `to` may be where it lies.
    void Place(JsonValue* to, const JsonValue& from) {
        const std::uint32_t word = from.word_;
        const std::int32_t target = from.target_;
        JsonValue* const placed = new (to) JsonValue();
        placed->word_ = word;
        placed->target_ = target - Offset(to);
    }

    void SkipWhitespace() {
        while (p_ != end_ && (*p_ == ' ' || *p_ == '\n' || *p_ == '\r' || *p_ == '\t')) {
            ++p_;
        }
    }

    bool Consume(char expected) {
        SkipWhitespace();
        if (p_ != end_ && *p_ == expected) {
            ++p_;
            return true;
        }
        return false;
    }

    bool ParseLiteral(std::string_view word, JsonKind kind, JsonValue& slot, std::int32_t name) {
        if (static_cast<std::size_t>(end_ - p_) < word.size() || std::string_view(p_, word.size()) != word) {
            return false;
        }
        p_ += word.size();
        Set(slot, kind, 0, name, name);
        return true;
    }

    // Parses one value into `slot`. `name` is where the record of the member name this value belongs to
    // ends (the value's own text begins there), or kNoName.
    bool ParseValue(JsonValue* slot, int depth, std::int32_t name) {
        SkipWhitespace();
        if (p_ == end_) {
            return false;
        }
        std::int32_t text = 0;
        std::uint32_t size = 0;
        switch (*p_) {
        case '{':
            return ParseContainer(slot, depth + 1, JsonKind::kObject, '}', name);
        case '[':
            return ParseContainer(slot, depth + 1, JsonKind::kArray, ']', name);
        case '"':
            if (!ParseString(text, size)) {
                return false;
            }
            Set(*slot, JsonKind::kString, size, name, text);
            return true;
        case 't':
            return ParseLiteral("true", JsonKind::kTrue, *slot, name);
        case 'f':
            return ParseLiteral("false", JsonKind::kFalse, *slot, name);
        case 'n':
            return ParseLiteral("null", JsonKind::kNull, *slot, name);
        default:
            if (!ParseNumber(text, size)) {
                return false;
            }
            Set(*slot, JsonKind::kNumber, size, name, text);
            return true;
        }
    }

    bool ParseContainer(JsonValue* slot, int depth, JsonKind kind, char closer, std::int32_t name) {
        if (depth > kMaxJsonDepth) {
            return false;
        }
        ++p_; // '{' or '['
        JsonValue* const first = scratch_top_;
        if (!Consume(closer)) {
            do {
                JsonValue* const item = Push();
                if (item == nullptr) {
                    return false;
                }
                std::int32_t item_name = kNoName;
                if (kind == JsonKind::kObject) {
                    SkipWhitespace();
                    std::int32_t text = 0;
                    std::uint32_t size = 0;
                    if (p_ == end_ || *p_ != '"' || !ParseString(text, size) || !Consume(':')) {
                        return false;
                    }
                    std::memcpy(out_, &size, sizeof size);
                    out_ += sizeof size;
                    item_name = Offset(out_);
                }
                if (!ParseValue(item, depth, item_name)) {
                    return false;
                }
            } while (Consume(','));
            if (!Consume(closer)) {
                return false;
            }
        }
        const auto count = static_cast<std::uint32_t>(scratch_top_ - first);
        if (count == 0) {
            Set(*slot, kind, 0, name, name);
            return true;
        }
        // The items, preceded by their name's holder when the container is named, move to the finished
        // values. The bounds leave them room above the scratch stack's part below them; moving from the
        // last item to the first never overwrites an item not yet moved.
        const std::size_t holder = name != kNoName ? 1 : 0;
        if (static_cast<std::size_t>(finished_ - first) < count + holder) {
            return false;
        }
        JsonValue* const moved = finished_ - (count + holder);
        for (std::size_t i = count; i-- > 0;) {
            Place(moved + holder + i, first[i]);
        }
        if (holder != 0) {
            JsonValue* const name_holder = new (moved) JsonValue();
            name_holder->target_ = name - Offset(moved);
        }
        finished_ = moved;
        scratch_top_ = first;
        Set(*slot, kind, count, name, Offset(moved));
        return true;
    }

    // -? (0 | [1-9][0-9]*) (. [0-9]+)? ([eE] [+-]? [0-9]+)?
    bool ParseNumber(std::int32_t& text, std::uint32_t& size) {
        const char* start = p_;
        if (p_ != end_ && *p_ == '-') {
            ++p_;
        }
        if (p_ == end_ || !IsAsciiDigit(*p_)) {
            return false;
        }
        if (*p_ == '0') {
            ++p_;
        } else {
            while (p_ != end_ && IsAsciiDigit(*p_)) {
                ++p_;
            }
        }
        if (p_ != end_ && *p_ == '.') {
            ++p_;
            if (p_ == end_ || !IsAsciiDigit(*p_)) {
                return false;
            }
            while (p_ != end_ && IsAsciiDigit(*p_)) {
                ++p_;
            }
        }
        if (p_ != end_ && (*p_ == 'e' || *p_ == 'E')) {
            ++p_;
            if (p_ != end_ && (*p_ == '+' || *p_ == '-')) {
                ++p_;
            }
            if (p_ == end_ || !IsAsciiDigit(*p_)) {
                return false;
            }
            while (p_ != end_ && IsAsciiDigit(*p_)) {
                ++p_;
            }
        }
        text = Offset(Store(start, p_));
        size = static_cast<std::uint32_t>(p_ - start);
        return true;
    }

    // Copies bytes to the end of the text store; yields where they start.
    char* Store(const char* begin, const char* end) {
        char* const start = out_;
        std::memcpy(out_, begin, static_cast<std::size_t>(end - begin));
        out_ += end - begin;
        return start;
    }

    int ReadHex4() {
        if (end_ - p_ < 4) {
            return -1;
        }
        int value = 0;
        for (int i = 0; i < 4; ++i) {
            const int digit = HexDigitValue(p_[i]);
            if (digit < 0) {
                return -1;
            }
            value = value * 16 + digit;
        }
        p_ += 4;
        return value;
    }

    bool ParseEscape() {
        if (p_ == end_) {
            return false;
        }
        const char c = *p_++;
        switch (c) {
        case '"':
        case '\\':
        case '/':
            *out_++ = c;
            return true;
        case 'b':
            *out_++ = '\b';
            return true;
        case 'f':
            *out_++ = '\f';
            return true;
        case 'n':
            *out_++ = '\n';
            return true;
        case 'r':
            *out_++ = '\r';
            return true;
        case 't':
            *out_++ = '\t';
            return true;
        case 'u':
            break;
        default:
            return false;
        }
        const int unit = ReadHex4();
        if (unit < 0) {
            return false;
        }
        char32_t code_point = static_cast<char32_t>(unit);
        // A high surrogate followed by an escaped low surrogate is one character; any other surrogate is
        // kept alone.
        if (unit >= 0xD800 && unit < 0xDC00 && end_ - p_ >= 6 && p_[0] == '\\' && p_[1] == 'u') {
            const char* saved = p_;
            p_ += 2;
            const int low = ReadHex4();
            if (low >= 0xDC00 && low < 0xE000) {
                code_point = 0x10000 + ((code_point - 0xD800) << 10) + static_cast<char32_t>(low - 0xDC00);
            } else {
                p_ = saved;
            }
        }
        out_ = platform::WriteUtf8(code_point, out_);
        return true;
    }

    // One well-formed UTF-8 sequence of two to four bytes (no overlong form, no surrogate, at most
    // U+10FFFF), copied unchanged.
    bool CopyUtf8Sequence() {
        const auto byte = [this](std::ptrdiff_t i) { return static_cast<unsigned char>(p_[i]); };
        const unsigned char lead = byte(0);
        std::ptrdiff_t length = 0;
        unsigned char low = 0x80;
        unsigned char high = 0xBF;
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            low = lead == 0xE0 ? 0xA0 : 0x80;
            high = lead == 0xED ? 0x9F : 0xBF;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            low = lead == 0xF0 ? 0x90 : 0x80;
            high = lead == 0xF4 ? 0x8F : 0xBF;
        } else {
            return false;
        }
        if (end_ - p_ < length || byte(1) < low || byte(1) > high) {
            return false;
        }
        for (std::ptrdiff_t i = 2; i < length; ++i) {
            if (byte(i) < 0x80 || byte(i) > 0xBF) {
                return false;
            }
        }
        Store(p_, p_ + length);
        p_ += length;
        return true;
    }

    // Decodes a string (p_ at its opening quote) to the end of the text store.
    bool ParseString(std::int32_t& text, std::uint32_t& size) {
        ++p_; // opening quote
        const char* const start = out_;
        while (true) {
            // A local cursor: the compiler need not write p_ back for every byte read.
            const char* const run = p_;
            const char* plain = p_;
            while (plain != end_ && kPlain[static_cast<unsigned char>(*plain)]) {
                ++plain;
            }
            p_ = plain;
            Store(run, p_);
            if (p_ == end_) {
                return false;
            }
            const auto c = static_cast<unsigned char>(*p_);
            if (c == '"') {
                ++p_;
                text = Offset(start);
                size = static_cast<std::uint32_t>(out_ - start);
                return true;
            }
            if (c == '\\') {
                ++p_;
                if (!ParseEscape()) {
                    return false;
                }
            } else if (c < 0x20 || !CopyUtf8Sequence()) {
                return false;
            }
        }
    }

    const char* p_;
    const char* end_;
    char* block_ = nullptr;            // the document's block
    JsonValue* scratch_top_ = nullptr; // the end of the scratch stack: the items of open containers
    JsonValue* finished_ = nullptr;    // the first of the finished values
    char* out_ = nullptr;              // the end of what the text store holds
};

std::optional<JsonDocument> ParseJsonObject(std::string_view bytes) {
    if (bytes.size() >= kMaxTextBytes) {
        return std::nullopt; // answers are capped far below this
    }
    JsonParser parser(bytes.data(), bytes.data() + bytes.size());
    return parser.ParseDocument();
}

} // namespace telva
