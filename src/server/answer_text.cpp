#include "server/answer_text.h"

#include "platform/unicode.h"
#include "text/ascii.h"

namespace telva {
namespace {

// Best-fit ASCII letters for U+00C0..U+00FF and U+0100..U+017F; "?" where none fits.
constexpr std::string_view kLatin1Letters = "AAAAAA?CEEEEIIII"
                                            "DNOOOOO?OUUUUY??"
                                            "aaaaaa?ceeeeiiii"
                                            "dnooooo?ouuuuy?y";
constexpr std::string_view kLatinExtendedA = "AaAaAaCcCcCcCcDd"
                                             "DdEeEeEeEeEeGgGg"
                                             "GgGgHhHhIiIiIiIi"
                                             "Ii??JjKkkLlLlLlL"
                                             "lLlNnNnNnnNnOoOo"
                                             "OoOoRrRrRrSsSsSs"
                                             "SsTtTtTtUuUuUuUu"
                                             "UuUuWwYyYZzZzZzs";

// windows-1252 characters for the bytes 0x80..0x9F (0 where the code page leaves the byte undefined).
constexpr char16_t kWindows1252High[32] = {0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                           0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0,      0x017D, 0,
                                           0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                           0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

char BestFitAscii(char16_t unit) {
    if (unit < 0x80) {
        return static_cast<char>(unit);
    }
    if (unit >= 0xC0 && unit <= 0xFF) {
        return kLatin1Letters[unit - 0xC0];
    }
    if (unit >= 0x100 && unit <= 0x17F) {
        return kLatinExtendedA[unit - 0x100];
    }
    switch (unit) {
    case 0x00A0:
        return ' ';
    case 0x00AB:
    case 0x2039:
        return '<';
    case 0x00BB:
    case 0x203A:
        return '>';
    case 0x00AD:
    case 0x2010:
    case 0x2011:
    case 0x2012:
    case 0x2013:
    case 0x2014:
        return '-';
    case 0x2018:
    case 0x2019:
    case 0x201A:
        return '\'';
    case 0x201C:
    case 0x201D:
    case 0x201E:
        return '"';
    default:
        return '?';
    }
}

} // namespace

std::string CharsetOf(std::string_view content_type) {
    std::size_t semicolon = content_type.find(';');
    while (semicolon != std::string_view::npos) {
        content_type.remove_prefix(semicolon + 1);
        semicolon = content_type.find(';');
        const std::string_view parameter = content_type.substr(0, semicolon);
        const std::size_t equals = parameter.find('=');
        if (equals == std::string_view::npos) {
            continue;
        }
        std::string name;
        for (const char c : TrimBlanks(parameter.substr(0, equals))) {
            name.push_back(LowerAscii(c));
        }
        if (name != "charset") {
            continue;
        }
        std::string_view value = TrimBlanks(parameter.substr(equals + 1));
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
            value = value.substr(1, value.size() - 2);
        }
        std::string lower;
        for (const char c : value) {
            lower.push_back(LowerAscii(c));
        }
        return lower;
    }
    return {};
}

std::string DecodeAnswerText(std::string_view body, std::string_view content_type) {
    const std::string charset = CharsetOf(content_type);
    if (charset == "utf-8" || charset == "utf8") {
        return platform::Utf16ToUtf8(platform::Utf8ToUtf16(body));
    }
    if (charset == "us-ascii" || charset == "ascii") {
        std::string text(body);
        for (char& c : text) {
            if (static_cast<unsigned char>(c) >= 0x80) {
                c = '?';
            }
        }
        return text;
    }
    if (charset == "windows-1252" || charset == "cp1252") {
        std::string text;
        text.reserve(body.size());
        for (const char c : body) {
            const auto byte = static_cast<unsigned char>(c);
            const char16_t mapped = byte >= 0x80 && byte < 0xA0 ? kWindows1252High[byte - 0x80] : byte;
            platform::AppendUtf8(text, mapped != 0 ? mapped : byte);
        }
        return text;
    }
    return platform::Latin1ToUtf8(body);
}

std::string DecodeAnswerBody(std::string&& body, std::string_view content_type) {
    if (platform::IsAscii(body)) {
        return std::move(body);
    }
    return DecodeAnswerText(std::string_view(body), content_type);
}

std::string ReduceToAscii(std::string_view utf8) {
    if (platform::IsAscii(utf8)) {
        return std::string(utf8);
    }
    std::string ascii;
    ascii.reserve(utf8.size());
    for (const char16_t unit : platform::Utf8ToUtf16(utf8)) {
        ascii.push_back(BestFitAscii(unit));
    }
    return ascii;
}

} // namespace telva
