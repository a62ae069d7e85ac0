#pragma once
// Reading an HTTP answer from the bytes a connection delivers: the status line, the header lines, interim
// 1xx answers (skipped), and the body framed by Content-Length, by the chunked transfer coding, or by the
// close of the connection. The reader works on plain byte buffers and holds every input to fixed bounds.

#include "server/http_limits.h"

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace telva {

struct HttpHeader {
    std::string name;
    std::string value; // surrounding blanks removed
};

struct HttpAnswer {
    int status = 0;
    std::string reason;
    std::vector<HttpHeader> headers;
    std::string body; // only read for a 2xx status

    // The value of the first header of that name (compared without regard to ASCII case), or none.
    const std::string* FindHeader(std::string_view name) const;
};

class HttpAnswerReader {
public:
    explicit HttpAnswerReader(std::size_t max_body_bytes = kMaxAnswerBodyBytes);

    // Takes the next bytes of the connection. Raises HttpError for a malformed answer or one larger than the
    // bounds. Bytes after a complete answer are ignored.
    void Feed(std::string_view bytes);
    // The server closed the connection: ends a body that runs to the close; raises HttpError when the answer
    // is not complete by then.
    void FeedEnd();

    // True once the final answer is complete. For a final status outside 2xx that is after its header
    // block: its body is never wanted, so it is not read.
    bool Complete() const { return state_ == State::kDone; }
    const HttpAnswer& answer() const { return answer_; }
    // Hands the answer over, leaving the reader's own empty.
    HttpAnswer TakeAnswer() { return std::move(answer_); }

private:
    enum class State {
        kStatusLine,
        kHeaders,
        kBodyByLength,
        kChunkSize,
        kChunkData,
        kChunkEnd,
        kTrailers,
        kBodyToClose,
        kDone
    };

    bool Step();
    std::optional<std::string_view> NextLine();
    void ReadStatusLine(std::string_view line);
    void ReadHeaderLine(std::string_view line);
    void StartBody();
    void ReadChunkSize(std::string_view line);
    void TakeBody(std::size_t count);

    std::size_t max_body_;
    State state_ = State::kStatusLine;
    std::string pending_;
    std::size_t position_ = 0;
    std::size_t head_bytes_ = 0;
    std::size_t remaining_ = 0; // body or chunk bytes still expected
    HttpAnswer answer_;
};

// Reads a whole answer from one buffer: `closed` tells whether the connection ended after these bytes.
// Yields none while the answer is incomplete; raises HttpError for a malformed one.
std::optional<HttpAnswer> ReadHttpAnswer(std::string_view bytes, bool closed,
                                         std::size_t max_body_bytes = kMaxAnswerBodyBytes);

} // namespace telva
