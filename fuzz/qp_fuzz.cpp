// The quoted-printable encoder over arbitrary values. Properties of its output:
// - decoding it with the small decoder below, written from RFC 2045, gives the value back with every line
//   break (CR LF, lone LF, lone CR) as CR LF and a final CR LF after a last line that had none;
// - it holds only printable 7-bit characters, tab and CR LF pairs, and every "=" starts an escape of two
//   upper-case hexadecimal digits or a soft line break;
// - no line is longer than 73 characters with its soft break, none ends in a blank, and none starts with
//   "." or "--" (a line the receiver could take for the end of the text or for the form's boundary).

#include "server/quoted_printable.h"

#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr std::size_t kMaxLineWithSoftBreak = 73;

void Require(bool condition) {
    if (!condition) {
        std::abort();
    }
}

int UpperHexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// RFC 2045 section 6.7: "=" + two hexadecimal digits is one octet, "=" at the end of a line is a soft line
// break (the line continues with the next), any other character stands for itself, and a line break is a
// line break of the text. Yields none for an "=" that is neither.
std::optional<std::string> DecodeQuotedPrintable(const std::vector<std::string_view>& lines) {
    std::string text;
    for (const std::string_view line : lines) {
        bool soft_break = false;
        for (std::size_t i = 0; i < line.size(); ++i) {
            if (line[i] != '=') {
                text.push_back(line[i]);
            } else if (i + 1 == line.size()) {
                soft_break = true;
            } else if (i + 2 < line.size() && UpperHexValue(line[i + 1]) >= 0 &&
                       UpperHexValue(line[i + 2]) >= 0) {
                text.push_back(
                    static_cast<char>(UpperHexValue(line[i + 1]) * 16 + UpperHexValue(line[i + 2])));
                i += 2;
            } else {
                return std::nullopt;
            }
        }
        if (!soft_break) {
            text += "\r\n";
        }
    }
    return text;
}

// The value with each line break as CR LF, and a CR LF after a last line that has none.
std::string ExpectedText(std::string_view value) {
    std::string text;
    for (std::size_t i = 0; i < value.size(); ++i) {
        if (value[i] == '\r' || value[i] == '\n') {
            if (value[i] == '\r' && i + 1 < value.size() && value[i + 1] == '\n') {
                ++i;
            }
            text += "\r\n";
        } else {
            text.push_back(value[i]);
        }
    }
    if (!value.empty() && value.back() != '\r' && value.back() != '\n') {
        text += "\r\n";
    }
    return text;
}

// Cuts the output into its lines at CR LF; every CR and LF must belong to such a pair and the output must
// end with one.
std::vector<std::string_view> OutputLines(std::string_view output) {
    std::vector<std::string_view> lines;
    std::size_t start = 0;
    while (start < output.size()) {
        const std::size_t end = output.find("\r\n", start);
        Require(end != std::string_view::npos);
        lines.push_back(output.substr(start, end - start));
        start = end + 2;
    }
    return lines;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view value(reinterpret_cast<const char*>(data), size);
    std::string output = "prefix";
    telva::AppendQuotedPrintable(value, output);
    Require(output.compare(0, 6, "prefix") == 0);
    const std::string_view encoded = std::string_view(output).substr(6);
    Require(value.empty() == encoded.empty());

    const std::vector<std::string_view> lines = OutputLines(encoded);
    for (const std::string_view line : lines) {
        Require(line.size() <= kMaxLineWithSoftBreak);
        for (const char c : line) {
            const auto byte = static_cast<unsigned char>(c);
            Require((byte >= 0x20 && byte <= 0x7E) || byte == '\t');
        }
        Require(line.empty() || (line.back() != ' ' && line.back() != '\t'));
        Require(line.substr(0, 1) != "." && line.substr(0, 2) != "--");
    }

    const std::optional<std::string> decoded = DecodeQuotedPrintable(lines);
    Require(decoded.has_value());
    Require(*decoded == ExpectedText(value));
    return 0;
}
