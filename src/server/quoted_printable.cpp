#include "server/quoted_printable.h"

#include "text/ascii.h"

namespace telva {
namespace {

constexpr std::size_t kSoftBreakColumn = 70;

// Encodes one line (without its line break) and ends it with CR LF.
void AppendLine(std::string_view line, std::string& out) {
    std::size_t column = 0;
    for (std::size_t i = 0; i < line.size(); ++i) {
        const auto byte = static_cast<unsigned char>(line[i]);
        const bool last = i + 1 == line.size();
        bool literal = false;
        if (byte >= 0x21 && byte <= 0x7E && byte != '=') {
            // A "." opening an output line is escaped; so is a "-" that would open one with "--", since
            // such a line could read as the form's boundary delimiter and cut the value short.
            const bool opens_dashes = byte == '-' && i + 1 < line.size() && line[i + 1] == '-';
            literal = column != 0 || (byte != '.' && !opens_dashes);
        } else if (byte == ' ' || byte == '\t') {
            literal = !last;
        }
        if (literal) {
            out.push_back(static_cast<char>(byte));
            ++column;
        } else {
            const char piece[3] = {'=', UpperHexDigit(byte >> 4u), UpperHexDigit(byte)};
            out.append(piece, 3);
            column += 3;
        }
        if (column >= kSoftBreakColumn) {
            out.append("=\r\n");
            column = 0;
        }
    }
    out.append("\r\n");
}

} // namespace

void AppendQuotedPrintable(std::string_view bytes, std::string& out) {
    std::size_t start = 0;
    while (start < bytes.size()) {
        std::size_t end = start;
        while (end < bytes.size() && bytes[end] != '\r' && bytes[end] != '\n') {
            ++end;
        }
        AppendLine(bytes.substr(start, end - start), out);
        if (end < bytes.size() && bytes[end] == '\r' && end + 1 < bytes.size() && bytes[end + 1] == '\n') {
            ++end;
        }
        start = end + 1;
    }
}

} // namespace telva
