// The strict JSON reader: one pass over the bytes, values built in place.

#include "server/json.h"

#include "platform/unicode.h"
#include "text/ascii.h"

#include <array>
#include <cstring>
#include <limits>

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

// An upper bound on the number of values in a text that parses: every value is the root, the first item of
// a container, or follows a comma. Counting every comma and bracket is quick and close for ordinary text;
// when that count is large for the text's size (dense arrays, or a hostile answer whose strings are full of
// commas), the count is redone outside strings, so the room reserved follows the values really there.
std::size_t MaxValueCount(std::string_view bytes) {
    std::size_t count = 1;
    for (const char c : bytes) {
        count += ValueMarks(c);
    }
    if (count <= bytes.size() / 16) {
        return count;
    }
    count = 1;
    bool in_string = false;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const char c = bytes[i];
        if (in_string) {
            if (c == '\\') {
                ++i; // the escaped character, never the end of the string
            } else if (c == '"') {
                in_string = false;
            }
        } else if (c == '"') {
            in_string = true;
        } else {
            count += ValueMarks(c);
        }
    }
    return count;
}

} // namespace

// Reads a text in one pass. Finished values go to the document's value array, whose room is reserved up
// front so it never moves: the items of a container are collected on a scratch stack and copied there as
// one block when the container closes. Decoded strings and number literals are written one after another
// into the text store, which is as large as the text itself (decoding never lengthens a string).
class JsonParser {
public:
    JsonParser(const char* begin, const char* end) : p_(begin), end_(end) {}

    std::optional<JsonDocument> ParseDocument() {
        SkipWhitespace();
        if (p_ == end_ || *p_ != '{') {
            return std::nullopt;
        }
        const std::string_view bytes(p_, static_cast<std::size_t>(end_ - p_));
        JsonDocument document;
        // Left uninitialized: only what is written is ever read.
        document.text_store_.reset(new char[bytes.size()]);
        out_ = document.text_store_.get();
        document.values_.reserve(MaxValueCount(bytes));
        values_ = &document.values_;

        scratch_.emplace_back();
        if (!ParseValue(0, 0)) {
            return std::nullopt;
        }
        SkipWhitespace();
        if (p_ != end_) {
            return std::nullopt;
        }
        if (document.values_.size() == document.values_.capacity()) {
            return std::nullopt;
        }
        document.values_.push_back(scratch_[0]);
        document.root_ = &document.values_.back();
        return document;
    }

private:
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

    bool ParseLiteral(std::string_view word, JsonKind kind, std::size_t slot) {
        if (static_cast<std::size_t>(end_ - p_) < word.size() || std::string_view(p_, word.size()) != word) {
            return false;
        }
        p_ += word.size();
        scratch_[slot].kind_ = kind;
        return true;
    }

    // Parses one value into scratch_[slot]. The scratch stack may grow meanwhile, so the slot is named by
    // its position, never held by reference across a nested parse.
    bool ParseValue(std::size_t slot, int depth) {
        SkipWhitespace();
        if (p_ == end_) {
            return false;
        }
        switch (*p_) {
        case '{':
            return ParseContainer(slot, depth + 1, JsonKind::kObject, '}');
        case '[':
            return ParseContainer(slot, depth + 1, JsonKind::kArray, ']');
        case '"':
            scratch_[slot].kind_ = JsonKind::kString;
            return ParseString(scratch_[slot].text_, scratch_[slot].size_);
        case 't':
            return ParseLiteral("true", JsonKind::kTrue, slot);
        case 'f':
            return ParseLiteral("false", JsonKind::kFalse, slot);
        case 'n':
            return ParseLiteral("null", JsonKind::kNull, slot);
        default:
            scratch_[slot].kind_ = JsonKind::kNumber;
            return ParseNumber(scratch_[slot].text_, scratch_[slot].size_);
        }
    }

    bool ParseContainer(std::size_t slot, int depth, JsonKind kind, char closer) {
        if (depth > kMaxJsonDepth) {
            return false;
        }
        ++p_; // '{' or '['
        const std::size_t first = scratch_.size();
        if (!Consume(closer)) {
            do {
                const std::size_t item = scratch_.size();
                scratch_.emplace_back();
                if (kind == JsonKind::kObject) {
                    SkipWhitespace();
                    if (p_ == end_ || *p_ != '"' ||
                        !ParseString(scratch_[item].name_, scratch_[item].name_size_) || !Consume(':')) {
                        return false;
                    }
                }
                if (!ParseValue(item, depth)) {
                    return false;
                }
            } while (Consume(','));
            if (!Consume(closer)) {
                return false;
            }
        }
        // A text that parses never has more values than the count bounds; should it ever, the text is
        // refused rather than the value array moved under the pointers already handed out.
        const std::size_t count = scratch_.size() - first;
        if (count > values_->capacity() - values_->size()) {
            return false;
        }
        const JsonValue* items = values_->data() + values_->size();
        values_->insert(values_->end(), scratch_.begin() + static_cast<std::ptrdiff_t>(first),
                        scratch_.end());
        scratch_.resize(first);
        JsonValue& container = scratch_[slot];
        container.kind_ = kind;
        container.items_ = items;
        container.size_ = static_cast<std::uint32_t>(count);
        return true;
    }

    // -? (0 | [1-9][0-9]*) (. [0-9]+)? ([eE] [+-]? [0-9]+)?
    bool ParseNumber(const char*& text, std::uint32_t& size) {
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
        text = Store(start, p_);
        size = static_cast<std::uint32_t>(p_ - start);
        return true;
    }

    // Copies bytes to the end of the text store; yields where they start.
    const char* Store(const char* begin, const char* end) {
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
    bool ParseString(const char*& text, std::uint32_t& size) {
        ++p_; // opening quote
        const char* const start = out_;
        while (true) {
            const char* run = p_;
            while (p_ != end_ && kPlain[static_cast<unsigned char>(*p_)]) {
                ++p_;
            }
            Store(run, p_);
            if (p_ == end_) {
                return false;
            }
            const auto c = static_cast<unsigned char>(*p_);
            if (c == '"') {
                ++p_;
                text = start;
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
    char* out_ = nullptr;                      // the end of what the text store holds
    std::vector<JsonValue>* values_ = nullptr; // the document's value array
    std::vector<JsonValue> scratch_;           // values whose container is still open
};

std::optional<JsonDocument> ParseJsonObject(std::string_view bytes) {
    if (bytes.size() > std::numeric_limits<std::uint32_t>::max()) {
        return std::nullopt; // sizes are kept in 32 bits; answers are capped far below this
    }
    JsonParser parser(bytes.data(), bytes.data() + bytes.size());
    return parser.ParseDocument();
}

} // namespace telva
