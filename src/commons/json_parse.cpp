// The strict JSON reader: one pass over the bytes, values built in place.

#include "commons/json.h"

#include "platform/unicode.h"

#include <array>

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

int HexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

} // namespace

class JsonParser {
public:
    JsonParser(const char* begin, const char* end) : p_(begin), end_(end) {}

    std::optional<JsonValue> ParseDocument() {
        SkipWhitespace();
        if (p_ == end_ || *p_ != '{') {
            return std::nullopt;
        }
        JsonValue root;
        if (!ParseValue(root, 0)) {
            return std::nullopt;
        }
        SkipWhitespace();
        if (p_ != end_) {
            return std::nullopt;
        }
        return root;
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

    bool ParseLiteral(std::string_view word, JsonKind kind, JsonValue& out) {
        if (static_cast<std::size_t>(end_ - p_) < word.size() || std::string_view(p_, word.size()) != word) {
            return false;
        }
        p_ += word.size();
        out.kind_ = kind;
        return true;
    }

    bool ParseValue(JsonValue& out, int depth) {
        SkipWhitespace();
        if (p_ == end_) {
            return false;
        }
        switch (*p_) {
        case '{':
            return ParseObject(out, depth + 1);
        case '[':
            return ParseArray(out, depth + 1);
        case '"':
            out.kind_ = JsonKind::kString;
            return ParseString(out.text_);
        case 't':
            return ParseLiteral("true", JsonKind::kTrue, out);
        case 'f':
            return ParseLiteral("false", JsonKind::kFalse, out);
        case 'n':
            return ParseLiteral("null", JsonKind::kNull, out);
        default:
            out.kind_ = JsonKind::kNumber;
            return ParseNumber(out.text_);
        }
    }

    bool ParseObject(JsonValue& out, int depth) {
        if (depth > kMaxJsonDepth) {
            return false;
        }
        ++p_; // '{'
        out.kind_ = JsonKind::kObject;
        if (Consume('}')) {
            return true;
        }
        do {
            SkipWhitespace();
            if (p_ == end_ || *p_ != '"') {
                return false;
            }
            out.names_.emplace_back();
            if (!ParseString(out.names_.back()) || !Consume(':')) {
                return false;
            }
            out.items_.emplace_back();
            if (!ParseValue(out.items_.back(), depth)) {
                return false;
            }
        } while (Consume(','));
        return Consume('}');
    }

    bool ParseArray(JsonValue& out, int depth) {
        if (depth > kMaxJsonDepth) {
            return false;
        }
        ++p_; // '['
        out.kind_ = JsonKind::kArray;
        if (Consume(']')) {
            return true;
        }
        do {
            out.items_.emplace_back();
            if (!ParseValue(out.items_.back(), depth)) {
                return false;
            }
        } while (Consume(','));
        return Consume(']');
    }

    // -? (0 | [1-9][0-9]*) (. [0-9]+)? ([eE] [+-]? [0-9]+)?
    bool ParseNumber(std::string& out) {
        const char* start = p_;
        if (p_ != end_ && *p_ == '-') {
            ++p_;
        }
        if (p_ == end_ || !IsDigit(*p_)) {
            return false;
        }
        if (*p_ == '0') {
            ++p_;
        } else {
            while (p_ != end_ && IsDigit(*p_)) {
                ++p_;
            }
        }
        if (p_ != end_ && *p_ == '.') {
            ++p_;
            if (p_ == end_ || !IsDigit(*p_)) {
                return false;
            }
            while (p_ != end_ && IsDigit(*p_)) {
                ++p_;
            }
        }
        if (p_ != end_ && (*p_ == 'e' || *p_ == 'E')) {
            ++p_;
            if (p_ != end_ && (*p_ == '+' || *p_ == '-')) {
                ++p_;
            }
            if (p_ == end_ || !IsDigit(*p_)) {
                return false;
            }
            while (p_ != end_ && IsDigit(*p_)) {
                ++p_;
            }
        }
        out.assign(start, p_);
        return true;
    }

    int ReadHex4() {
        if (end_ - p_ < 4) {
            return -1;
        }
        int value = 0;
        for (int i = 0; i < 4; ++i) {
            const int digit = HexValue(p_[i]);
            if (digit < 0) {
                return -1;
            }
            value = value * 16 + digit;
        }
        p_ += 4;
        return value;
    }

    bool ParseEscape(std::string& out) {
        if (p_ == end_) {
            return false;
        }
        const char c = *p_++;
        switch (c) {
        case '"':
        case '\\':
        case '/':
            out.push_back(c);
            return true;
        case 'b':
            out.push_back('\b');
            return true;
        case 'f':
            out.push_back('\f');
            return true;
        case 'n':
            out.push_back('\n');
            return true;
        case 'r':
            out.push_back('\r');
            return true;
        case 't':
            out.push_back('\t');
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
        platform::AppendUtf8(out, code_point);
        return true;
    }

    // One well-formed UTF-8 sequence of two to four bytes (no overlong form, no surrogate, at most
    // U+10FFFF), copied unchanged.
    bool CopyUtf8Sequence(std::string& out) {
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
        out.append(p_, static_cast<std::size_t>(length));
        p_ += length;
        return true;
    }

    bool ParseString(std::string& out) {
        ++p_; // opening quote
        while (true) {
            const char* run = p_;
            while (p_ != end_ && kPlain[static_cast<unsigned char>(*p_)]) {
                ++p_;
            }
            out.append(run, p_);
            if (p_ == end_) {
                return false;
            }
            const auto c = static_cast<unsigned char>(*p_);
            if (c == '"') {
                ++p_;
                return true;
            }
            if (c == '\\') {
                ++p_;
                if (!ParseEscape(out)) {
                    return false;
                }
            } else if (c < 0x20 || !CopyUtf8Sequence(out)) {
                return false;
            }
        }
    }

    const char* p_;
    const char* end_;
};

std::optional<JsonValue> ParseJsonObject(std::string_view bytes) {
    JsonParser parser(bytes.data(), bytes.data() + bytes.size());
    return parser.ParseDocument();
}

} // namespace telva
