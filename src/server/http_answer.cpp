#include "server/http_answer.h"

#include "server/http_error.h"
#include "text/ascii.h"

#include <algorithm>

namespace telva {
namespace {

// Bounds for everything before the body: one line, and all header blocks of one answer (interim ones
// included).
constexpr std::size_t kMaxLineBytes = 16 * 1024;
constexpr std::size_t kMaxHeadBytes = 256 * 1024;

bool IsTokenCharacter(char c) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte <= 0x20 || byte >= 0x7F) {
        return false;
    }
    return std::string_view("\"(),/:;<=>?@[\\]{}").find(c) == std::string_view::npos;
}

// A Content-Length value: one or more decimal numbers separated by commas, all equal.
std::size_t ReadContentLength(std::string_view value, std::size_t limit) {
    std::optional<std::size_t> length;
    while (true) {
        const std::size_t comma = value.find(',');
        const std::string_view item = TrimBlanks(value.substr(0, comma));
        if (item.empty() || item.size() > 18 || !std::all_of(item.begin(), item.end(), IsAsciiDigit)) {
            throw HttpError("Invalid Content-Length in the answer");
        }
        std::size_t number = 0;
        for (const char c : item) {
            number = number * 10 + static_cast<std::size_t>(c - '0');
        }
        if (length && *length != number) {
            throw HttpError("Conflicting Content-Length in the answer");
        }
        length = number;
        if (comma == std::string_view::npos) {
            break;
        }
        value.remove_prefix(comma + 1);
    }
    if (*length > limit) {
        throw HttpError("Answer larger than " + std::to_string(limit) + " bytes");
    }
    return *length;
}

// True for a transfer coding list ending in "chunked"; raises for a coding the client cannot undo.
bool IsChunked(std::string_view value) {
    bool chunked = false;
    while (!value.empty()) {
        const std::size_t comma = value.find(',');
        const std::string_view item = TrimBlanks(value.substr(0, comma));
        if (chunked) {
            throw HttpError("Transfer coding after chunked in the answer");
        }
        if (EqualsIgnoringAsciiCase(item, "chunked")) {
            chunked = true;
        } else if (!item.empty() && !EqualsIgnoringAsciiCase(item, "identity")) {
            throw HttpError("Unsupported transfer coding in the answer");
        }
        value.remove_prefix(comma == std::string_view::npos ? value.size() : comma + 1);
    }
    return chunked;
}

} // namespace

const std::string* HttpAnswer::FindHeader(std::string_view name) const {
    for (const HttpHeader& header : headers) {
        if (EqualsIgnoringAsciiCase(header.name, name)) {
            return &header.value;
        }
    }
    return nullptr;
}

HttpAnswerReader::HttpAnswerReader(std::size_t max_body_bytes) : max_body_(max_body_bytes) {}

void HttpAnswerReader::Feed(std::string_view bytes) {
    if (state_ == State::kDone) {
        return;
    }
    pending_.append(bytes);
    while (state_ != State::kDone && Step()) {
    }
    pending_.erase(0, position_);
    position_ = 0;
}

void HttpAnswerReader::FeedEnd() {
    if (state_ == State::kBodyToClose) {
        state_ = State::kDone;
    }
    if (state_ != State::kDone) {
        throw HttpError("Connection closed before the answer was complete");
    }
}

// One line of the head, without its CR LF (a bare LF is accepted); none until the line is complete.
std::optional<std::string_view> HttpAnswerReader::NextLine() {
    const std::size_t end = pending_.find('\n', position_);
    if (end == std::string::npos) {
        if (pending_.size() - position_ > kMaxLineBytes) {
            throw HttpError("Answer header line too long");
        }
        return std::nullopt;
    }
    std::string_view line(pending_.data() + position_, end - position_);
    if (line.size() > kMaxLineBytes) {
        throw HttpError("Answer header line too long");
    }
    const bool in_head =
        state_ == State::kStatusLine || state_ == State::kHeaders || state_ == State::kTrailers;
    head_bytes_ += in_head ? line.size() + 1 : 0;
    if (head_bytes_ > kMaxHeadBytes) {
        throw HttpError("Answer header block too long");
    }
    position_ = end + 1;
    if (!line.empty() && line.back() == '\r') {
        line.remove_suffix(1);
    }
    return line;
}

// Makes one step of progress; false when more bytes are needed.
bool HttpAnswerReader::Step() {
    switch (state_) {
    case State::kStatusLine:
    case State::kHeaders:
    case State::kChunkSize:
    case State::kChunkEnd:
    case State::kTrailers: {
        const auto line = NextLine();
        if (!line) {
            return false;
        }
        if (state_ == State::kStatusLine) {
            ReadStatusLine(*line);
        } else if (state_ == State::kHeaders) {
            ReadHeaderLine(*line);
        } else if (state_ == State::kChunkSize) {
            ReadChunkSize(*line);
        } else if (state_ == State::kChunkEnd) {
            if (!line->empty()) {
                throw HttpError("Malformed chunk in the answer");
            }
            state_ = State::kChunkSize;
        } else if (line->empty()) {
            state_ = State::kDone;
        }
        return true;
    }
    case State::kBodyByLength:
    case State::kChunkData:
    case State::kBodyToClose: {
        const std::size_t available = pending_.size() - position_;
        if (available == 0) {
            return false;
        }
        const std::size_t count = state_ == State::kBodyToClose ? available : std::min(available, remaining_);
        TakeBody(count);
        if (state_ != State::kBodyToClose) {
            remaining_ -= count;
            if (remaining_ == 0) {
                state_ = state_ == State::kBodyByLength ? State::kDone : State::kChunkEnd;
            }
        }
        return true;
    }
    case State::kDone:
        break;
    }
    return false;
}

void HttpAnswerReader::TakeBody(std::size_t count) {
    if (answer_.body.size() + count > max_body_) {
        throw HttpError("Answer larger than " + std::to_string(max_body_) + " bytes");
    }
    answer_.body.append(pending_, position_, count);
    position_ += count;
}

void HttpAnswerReader::ReadStatusLine(std::string_view line) {
    if (line.empty()) {
        return; // blank lines between interim answers are tolerated
    }
    // HTTP/d.d SP ddd [SP reason]
    if (line.size() < 12 || line.substr(0, 5) != "HTTP/" || !IsAsciiDigit(line[5]) || line[6] != '.' ||
        !IsAsciiDigit(line[7]) || line[8] != ' ' || !IsAsciiDigit(line[9]) || !IsAsciiDigit(line[10]) ||
        !IsAsciiDigit(line[11]) || (line.size() > 12 && line[12] != ' ')) {
        throw HttpError("Malformed status line in the answer");
    }
    const int status = (line[9] - '0') * 100 + (line[10] - '0') * 10 + (line[11] - '0');
    if (status < 100 || status > 599) {
        throw HttpError("Invalid status in the answer");
    }
    answer_.status = status;
    answer_.reason = std::string(line.size() > 13 ? line.substr(13) : std::string_view());
    answer_.headers.clear();
    state_ = State::kHeaders;
}

void HttpAnswerReader::ReadHeaderLine(std::string_view line) {
    if (line.empty()) {
        StartBody();
        return;
    }
    if (line.front() == ' ' || line.front() == '\t') {
        // An obsolete folded continuation of the previous header's value.
        if (answer_.headers.empty()) {
            throw HttpError("Malformed header line in the answer");
        }
        std::string& value = answer_.headers.back().value;
        const std::string_view more = TrimBlanks(line);
        if (!more.empty()) {
            value.append(value.empty() ? "" : " ").append(more);
        }
        return;
    }
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos || colon == 0 ||
        !std::all_of(line.begin(), line.begin() + static_cast<long>(colon), IsTokenCharacter)) {
        throw HttpError("Malformed header line in the answer");
    }
    answer_.headers.push_back(
        HttpHeader{std::string(line.substr(0, colon)), std::string(TrimBlanks(line.substr(colon + 1)))});
}

// Decides how the body of the answer whose head just ended is framed.
void HttpAnswerReader::StartBody() {
    const int status = answer_.status;
    if (status < 200) {
        state_ = State::kStatusLine; // interim answer: the real one follows
        return;
    }
    if (status >= 300 || status == 204) {
        state_ = State::kDone; // no body wanted (outside 2xx) or none sent (204)
        return;
    }
    std::optional<std::size_t> length;
    bool chunked = false;
    bool coded = false;
    for (const HttpHeader& header : answer_.headers) {
        if (EqualsIgnoringAsciiCase(header.name, "Transfer-Encoding")) {
            coded = true;
            chunked = IsChunked(header.value);
        } else if (EqualsIgnoringAsciiCase(header.name, "Content-Length")) {
            const std::size_t value = ReadContentLength(header.value, max_body_);
            if (length && *length != value) {
                throw HttpError("Conflicting Content-Length in the answer");
            }
            length = value;
        }
    }
    if (chunked) {
        state_ = State::kChunkSize;
    } else if (coded || !length) {
        state_ = State::kBodyToClose;
    } else {
        remaining_ = *length;
        answer_.body.reserve(remaining_); // within max_body_: the body is assembled in place, never regrown
        state_ = remaining_ == 0 ? State::kDone : State::kBodyByLength;
    }
}

void HttpAnswerReader::ReadChunkSize(std::string_view line) {
    const std::string_view size_text = TrimBlanks(line.substr(0, line.find(';')));
    if (size_text.empty() || size_text.size() > 15) {
        throw HttpError("Malformed chunk size in the answer");
    }
    std::size_t size = 0;
    for (const char c : size_text) {
        const int digit = HexDigitValue(c);
        if (digit < 0) {
            throw HttpError("Malformed chunk size in the answer");
        }
        size = size * 16 + static_cast<std::size_t>(digit);
    }
    if (size == 0) {
        state_ = State::kTrailers;
        return;
    }
    if (size > max_body_ - answer_.body.size()) {
        throw HttpError("Answer larger than " + std::to_string(max_body_) + " bytes");
    }
    remaining_ = size;
    state_ = State::kChunkData;
}

std::optional<HttpAnswer> ReadHttpAnswer(std::string_view bytes, bool closed, std::size_t max_body_bytes) {
    HttpAnswerReader reader(max_body_bytes);
    reader.Feed(bytes);
    if (closed) {
        reader.FeedEnd();
    }
    if (!reader.Complete()) {
        return std::nullopt;
    }
    return reader.answer();
}

} // namespace telva
