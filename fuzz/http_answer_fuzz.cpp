// The HTTP answer reader and the answer text decoding over arbitrary connection bytes.
// Input layout: byte 0 picks the body cap (below 0x80: that many bytes; otherwise the client's 64 MiB),
// byte 1 bit 0 tells whether the connection closes after the bytes, bytes 1-2 seed the split points; the
// rest is what the connection delivers. Properties:
// - feeding the bytes in pieces split anywhere gives the same outcome as one feed, and as ReadHttpAnswer;
// - a complete answer has a final status (200-599), a body no longer than the cap, and a body only in 2xx;
// - the decoded text is well-formed UTF-8 (by charset) and its ASCII reduction is 7-bit, one character
//   per UTF-16 unit; reading it as JSON, as the API client does, never fails in any other way than none.

#include "platform/unicode.h"
#include "server/answer_text.h"
#include "server/http_answer.h"
#include "server/http_error.h"
#include "server/json.h"

#include <cstdint>
#include <cstdlib>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace {

using telva::HttpAnswer;
using telva::HttpAnswerReader;

void Require(bool condition) {
    if (!condition) {
        std::abort();
    }
}

// What reading a connection ends in: the error text, or the answer when complete.
struct Outcome {
    std::optional<std::string> error;
    bool complete = false;
    HttpAnswer answer;
};

bool SameAnswer(const HttpAnswer& a, const HttpAnswer& b) {
    if (a.status != b.status || a.reason != b.reason || a.body != b.body ||
        a.headers.size() != b.headers.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.headers.size(); ++i) {
        if (a.headers[i].name != b.headers[i].name || a.headers[i].value != b.headers[i].value) {
            return false;
        }
    }
    return true;
}

bool SameOutcome(const Outcome& a, const Outcome& b) {
    return a.error == b.error && a.complete == b.complete && (!a.complete || SameAnswer(a.answer, b.answer));
}

Outcome ReadInPieces(std::string_view bytes, const std::vector<std::size_t>& cuts, bool closed,
                     std::size_t cap) {
    Outcome outcome;
    HttpAnswerReader reader(cap);
    try {
        std::size_t start = 0;
        for (const std::size_t cut : cuts) {
            reader.Feed(bytes.substr(start, cut - start));
            start = cut;
        }
        reader.Feed(bytes.substr(start));
        if (closed) {
            reader.FeedEnd();
        }
    } catch (const telva::HttpError& error) {
        outcome.error = error.what();
        return outcome;
    }
    outcome.complete = reader.Complete();
    if (outcome.complete) {
        outcome.answer = reader.answer();
    }
    return outcome;
}

Outcome ReadWhole(std::string_view bytes, bool closed, std::size_t cap) {
    Outcome outcome;
    try {
        const std::optional<HttpAnswer> answer = telva::ReadHttpAnswer(bytes, closed, cap);
        outcome.complete = answer.has_value();
        if (answer) {
            outcome.answer = *answer;
        }
    } catch (const telva::HttpError& error) {
        outcome.error = error.what();
    }
    return outcome;
}

bool IsAscii(std::string_view text) {
    for (const char c : text) {
        if (static_cast<unsigned char>(c) >= 0x80) {
            return false;
        }
    }
    return true;
}

// The decoded text must survive a UTF-16 round trip unchanged: it holds no invalid sequence.
bool IsWellFormed(const std::string& text) {
    return telva::platform::Utf16ToUtf8(telva::platform::Utf8ToUtf16(text)) == text;
}

void CheckText(std::string_view body, std::string_view content_type) {
    const std::string text = telva::DecodeAnswerText(body, content_type);
    Require(IsWellFormed(text));
    // Handing the body over gives the same text (an ASCII body is kept as it is).
    Require(telva::DecodeAnswerBody(std::string(body), content_type) == text);
    const std::string ascii = telva::ReduceToAscii(text);
    Require(IsAscii(ascii));
    Require(ascii.size() == telva::platform::Utf8ToUtf16(text).size());
    const std::optional<telva::JsonDocument> object = telva::ParseJsonObject(ascii);
    Require(!object || object->root().IsObject());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3) {
        return 0;
    }
    const std::size_t cap = data[0] < 0x80 ? data[0] : telva::kMaxAnswerBodyBytes;
    const bool closed = (data[1] & 1) != 0;
    std::uint32_t seed = (static_cast<std::uint32_t>(data[1]) << 8 | data[2]) * 2654435761u + 1;
    const std::string_view bytes(reinterpret_cast<const char*>(data) + 3, size - 3);

    // Split points: a few at random positions, and for short inputs sometimes every byte on its own.
    std::vector<std::size_t> cuts;
    if (bytes.size() <= 256 && (seed & 7) == 0) {
        for (std::size_t i = 1; i < bytes.size(); ++i) {
            cuts.push_back(i);
        }
    } else {
        std::size_t position = 0;
        while (!bytes.empty() && cuts.size() < 16) {
            seed = seed * 1103515245u + 12345u;
            position += 1 + (seed >> 8) % (bytes.size() / 4 + 1);
            if (position >= bytes.size()) {
                break;
            }
            cuts.push_back(position);
        }
    }

    const Outcome whole = ReadInPieces(bytes, {}, closed, cap);
    Require(SameOutcome(whole, ReadInPieces(bytes, cuts, closed, cap)));
    Require(SameOutcome(whole, ReadWhole(bytes, closed, cap)));

    if (whole.complete) {
        const HttpAnswer& answer = whole.answer;
        Require(answer.status >= 200 && answer.status <= 599);
        Require(answer.body.size() <= cap);
        Require(answer.body.size() <= bytes.size());
        if (answer.status >= 300 || answer.status == 204) {
            Require(answer.body.empty());
        }
        const std::string* content_type = answer.FindHeader("Content-Type");
        CheckText(answer.body, content_type != nullptr ? *content_type : std::string_view());
    }
    if (closed && !whole.error) {
        Require(whole.complete); // a closed connection either completes the answer or is an error
    }

    // The charset decoding on its own, over the raw bytes with one of the charsets the client knows.
    static constexpr std::string_view kContentTypes[] = {"application/json; charset=utf-8",
                                                         "text/html; charset=\"ISO-8859-1\"",
                                                         "text/plain;charset=us-ascii",
                                                         "application/json; charset=windows-1252",
                                                         "application/json",
                                                         "text/plain; charset=koi8-r"};
    CheckText(bytes, kContentTypes[data[2] % std::size(kContentTypes)]);
    return 0;
}
