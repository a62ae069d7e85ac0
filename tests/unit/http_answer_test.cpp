#include "server/http_answer.h"
#include "server/http_error.h"

#include <gtest/gtest.h>

namespace telva {
namespace {

// Feeds the bytes one at a time, so that every state of the reader meets a split.
HttpAnswerReader FeedByteByByte(std::string_view bytes, std::size_t max_body = kMaxAnswerBodyBytes) {
    HttpAnswerReader reader(max_body);
    for (const char c : bytes) {
        reader.Feed(std::string_view(&c, 1));
    }
    return reader;
}

TEST(HttpAnswer, ContentLengthEndsTheBodyWithoutWaitingForTheClose) {
    const std::string bytes =
        "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 5\r\n\r\nhelloEXTRA";
    const auto answer = ReadHttpAnswer(bytes, false);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->status, 200);
    EXPECT_EQ(answer->reason, "OK");
    EXPECT_EQ(answer->body, "hello");
    ASSERT_NE(answer->FindHeader("content-type"), nullptr);
    EXPECT_EQ(*answer->FindHeader("CONTENT-TYPE"), "application/json");
    EXPECT_TRUE(FeedByteByByte(bytes).Complete());
    EXPECT_EQ(FeedByteByByte(bytes).answer().body, "hello");
}

TEST(HttpAnswer, IncompleteUntilEnoughBytesAndFailsWhenClosedEarly) {
    const std::string bytes = "HTTP/1.0 200 OK\r\nContent-Length: 10\r\n\r\nhello";
    EXPECT_FALSE(ReadHttpAnswer(bytes, false));
    EXPECT_THROW(ReadHttpAnswer(bytes, true), HttpError);
    EXPECT_THROW(ReadHttpAnswer("HTTP/1.0 200 OK\r\nContent-", true), HttpError);
    EXPECT_THROW(ReadHttpAnswer("", true), HttpError);
}

TEST(HttpAnswer, ChunkedBodyWithExtensionsAndTrailers) {
    const std::string bytes = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nContent-Length: 3\r\n\r\n"
                              "4;name=value\r\n{\"a\"\r\nA\r\n:12345678}\r\n0\r\nX-Trailer: 1\r\n\r\nignored";
    const auto answer = ReadHttpAnswer(bytes, false);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->body, "{\"a\":12345678}");
    EXPECT_EQ(FeedByteByByte(bytes).answer().body, "{\"a\":12345678}");
    EXPECT_FALSE(ReadHttpAnswer("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nab\r\n", false));
}

TEST(HttpAnswer, MalformedChunksAreErrors) {
    const std::string head = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
    EXPECT_THROW(ReadHttpAnswer(head + "zz\r\n", false), HttpError);
    EXPECT_THROW(ReadHttpAnswer(head + "2\r\nabc\r\n", false), HttpError);
    EXPECT_THROW(ReadHttpAnswer(head + "\r\n", false), HttpError);
    EXPECT_THROW(ReadHttpAnswer(head + "fffffffffffffffff\r\n", false), HttpError);
    EXPECT_THROW(ReadHttpAnswer("HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip, chunked\r\n\r\n", false),
                 HttpError);
}

TEST(HttpAnswer, NoLengthMeansTheBodyRunsToTheClose) {
    const std::string bytes = "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\n{\"x\":1}";
    EXPECT_FALSE(ReadHttpAnswer(bytes, false));
    const auto answer = ReadHttpAnswer(bytes, true);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->body, "{\"x\":1}");
}

TEST(HttpAnswer, InterimAnswersAreSkipped) {
    const auto answer = ReadHttpAnswer("HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 102 Processing\r\nX: y\r\n\r\n"
                                       "HTTP/1.1 201 Created\r\nContent-Length: 2\r\n\r\n{}",
                                       false);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->status, 201);
    EXPECT_EQ(answer->headers.size(), 1u);
    EXPECT_EQ(answer->body, "{}");
}

TEST(HttpAnswer, StatusOutsideTwoHundredsCompletesAfterItsHead) {
    const auto redirect = ReadHttpAnswer("HTTP/1.1 302 Found\r\nLocation: http://elsewhere/\r\n\r\n", false);
    ASSERT_TRUE(redirect);
    EXPECT_EQ(redirect->status, 302);
    EXPECT_EQ(redirect->body, "");
    const auto error = ReadHttpAnswer("HTTP/1.1 500 Oops\r\nContent-Length: 100\r\n\r\n{\"status\"", false);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->status, 500);
    const auto empty = ReadHttpAnswer("HTTP/1.1 204 No Content\r\n\r\n", false);
    ASSERT_TRUE(empty);
    EXPECT_EQ(empty->status, 204);
    EXPECT_EQ(empty->body, "");
}

TEST(HttpAnswer, BareLineFeedsAndFoldedHeadersAreRead) {
    const auto answer = ReadHttpAnswer("HTTP/1.0 200 OK\nContent-Type: application/json;\n charset=utf-8\n"
                                       "Content-Length: 2\n\n{}",
                                       false);
    ASSERT_TRUE(answer);
    EXPECT_EQ(*answer->FindHeader("Content-Type"), "application/json; charset=utf-8");
    EXPECT_EQ(answer->body, "{}");
}

TEST(HttpAnswer, MalformedHeadsAreErrors) {
    EXPECT_THROW(ReadHttpAnswer("HTTP/1.1 2000 OK\r\n\r\n", false), HttpError);
    EXPECT_THROW(ReadHttpAnswer("HTTP/1.1 099 Low\r\n\r\n", false), HttpError);
    EXPECT_THROW(ReadHttpAnswer("ICY 200 OK\r\n\r\n", false), HttpError);
    EXPECT_THROW(ReadHttpAnswer("HTTP/1.1 200 OK\r\nNo colon here\r\n\r\n", false), HttpError);
    EXPECT_THROW(ReadHttpAnswer("HTTP/1.1 200 OK\r\n Folded first\r\n\r\n", false), HttpError);
    EXPECT_THROW(ReadHttpAnswer("HTTP/1.1 200 OK\r\nBad Name: x\r\n\r\n", false), HttpError);
    EXPECT_THROW(ReadHttpAnswer("HTTP/1.1 200 OK\r\nContent-Length: -1\r\n\r\n", false), HttpError);
    EXPECT_THROW(ReadHttpAnswer("HTTP/1.1 200 OK\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\n", false),
                 HttpError);
    EXPECT_THROW(ReadHttpAnswer("HTTP/1.1 200 OK\r\nContent-Length: 2, 3\r\n\r\n", false), HttpError);
    EXPECT_TRUE(ReadHttpAnswer("HTTP/1.1 200 OK\r\nContent-Length: 2, 2\r\n\r\n{}", false));
}

TEST(HttpAnswer, HeadAndBodyStayWithinTheirBounds) {
    // A header line that never ends fails once it passes the line bound, without growing for ever.
    HttpAnswerReader reader;
    reader.Feed("HTTP/1.1 200 OK\r\nX: ");
    EXPECT_THROW(
        {
            for (int i = 0; i < 100; ++i) {
                reader.Feed(std::string(1024, 'a'));
            }
        },
        HttpError);
    // So does an endless series of interim answers.
    HttpAnswerReader interim;
    EXPECT_THROW(
        {
            for (int i = 0; i < 100000; ++i) {
                interim.Feed("HTTP/1.1 100 Continue\r\n\r\n");
            }
        },
        HttpError);
    // A declared length over the bound fails at once; a body that grows past it fails as it arrives.
    EXPECT_THROW(ReadHttpAnswer("HTTP/1.1 200 OK\r\nContent-Length: 67108865\r\n\r\n", false), HttpError);
    EXPECT_TRUE(ReadHttpAnswer("HTTP/1.1 200 OK\r\nContent-Length: 8\r\n\r\n12345678", false, 8));
    EXPECT_THROW(ReadHttpAnswer("HTTP/1.1 200 OK\r\n\r\n123456789", false, 8), HttpError);
    EXPECT_THROW(
        ReadHttpAnswer("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\n12345\r\n4\r\n", false, 8),
        HttpError);
}

} // namespace
} // namespace telva
