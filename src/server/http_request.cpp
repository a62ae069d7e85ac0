#include "server/http_request.h"

#include "platform/unicode.h"

namespace telva {
namespace {

// Drops CR, LF and every other ASCII control character.
std::string WithoutControls(std::string_view text) {
    std::string kept;
    kept.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte != 0x7F) {
            kept.push_back(c);
        }
    }
    return kept;
}

} // namespace

std::string HeaderLine(std::string_view name, std::string_view value) {
    return std::string(name) + ": " + WithoutControls(value);
}

std::string ComposeRequestHead(std::string_view target, std::string_view host_header,
                               std::string_view boundary, std::size_t content_length,
                               const std::vector<std::string>& custom_lines) {
    std::string head;
    const auto add = [&head](std::string_view line) {
        head.append(platform::Utf8ToAsciiUnits(line));
        head.append("\r\n");
    };
    add("POST " + WithoutControls(target) + " HTTP/1.0");
    add("Connection: keep-alive");
    add("Content-Type: multipart/form-data; boundary=" + std::string(boundary));
    add("Content-Length: " + std::to_string(content_length));
    for (const std::string& line : custom_lines) {
        add(line);
    }
    add(HeaderLine("Host", host_header));
    add("Accept: application/json");
    add("Accept-Encoding: identity");
    add("User-Agent: Mozilla/5.0 (Windows NT 10.0; Win64; x64)");
    head.append("\r\n");
    return head;
}

} // namespace telva
