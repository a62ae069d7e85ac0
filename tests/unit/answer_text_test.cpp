#include "server/answer_text.h"

#include <gtest/gtest.h>

namespace telva {
namespace {

TEST(AnswerText, CharsetParameterIsFoundInAnyCaseAndQuoting) {
    EXPECT_EQ(CharsetOf("application/json; charset=UTF-8"), "utf-8");
    EXPECT_EQ(CharsetOf("application/json;Charset=\"ISO-8859-1\""), "iso-8859-1");
    EXPECT_EQ(CharsetOf("text/html; q=1; charset = us-ascii "), "us-ascii");
    EXPECT_EQ(CharsetOf("application/json"), "");
    EXPECT_EQ(CharsetOf(""), "");
}

TEST(AnswerText, BodyIsDecodedByTheDeclaredCharset) {
    EXPECT_EQ(DecodeAnswerText("S\xC3\xA3o", "application/json; charset=utf-8"), "S\xC3\xA3o");
    EXPECT_EQ(DecodeAnswerText("S\xE3o", "application/json; charset=iso-8859-1"), "S\xC3\xA3o");
    EXPECT_EQ(DecodeAnswerText("S\xE3o", "application/json; charset=us-ascii"), "S?o");
    EXPECT_EQ(DecodeAnswerText("\x80", "text/plain; charset=windows-1252"), "\xE2\x82\xAC");
    // None, or one not known: one character per byte.
    EXPECT_EQ(DecodeAnswerText("S\xC3\xA3o", "application/json"), "S\xC3\x83\xC2\xA3o");
    EXPECT_EQ(DecodeAnswerText("S\xE3o", "application/json; charset=x-unknown"), "S\xC3\xA3o");
    // Invalid UTF-8 under utf-8 becomes U+FFFD, which the reduction turns into "?".
    EXPECT_EQ(ReduceToAscii(DecodeAnswerText("a\xFF"
                                             "b",
                                             "text/plain; charset=utf-8")),
              "a?b");
}

TEST(AnswerText, HandedOverBodyIsKeptWhenAsciiAndDecodedOtherwise) {
    for (const char* type : {"application/json; charset=utf-8", "application/json; charset=us-ascii",
                             "text/plain; charset=windows-1252", "application/json"}) {
        std::string body(4096, 'a');
        body += "{\"k\":\"v\"}";
        const std::string expected = DecodeAnswerText(body, type);
        const char* const bytes = body.data();
        const std::string text = DecodeAnswerBody(std::move(body), type);
        EXPECT_EQ(text, expected) << type;
        EXPECT_EQ(text.data(), bytes) << type << ": an ASCII body is not copied";
        for (const char* other : {"S\xC3\xA3o", "S\xE3o", "\x80\xFF"}) {
            EXPECT_EQ(DecodeAnswerBody(std::string(other), type), DecodeAnswerText(other, type)) << type;
        }
    }
}

TEST(AnswerText, ReductionKeepsAsciiAndFitsCommonLatinLetters) {
    EXPECT_EQ(ReduceToAscii("{\"a\":\"b\"}"), "{\"a\":\"b\"}");
    EXPECT_EQ(ReduceToAscii("S\xC3\xA3o Jo\xC3\xA3o \xC3\x87"
                            "a\xC3\xA7"
                            "a"),
              "Sao Joao Caca");
    EXPECT_EQ(ReduceToAscii("\xC3\xA9\xC3\xA8\xC3\xAA\xC3\xAB\xC3\xB1\xC3\xBC\xC5\x82\xC5\xA1"), "eeeenuls");
    EXPECT_EQ(ReduceToAscii("\xE2\x80\x9Cq\xE2\x80\x9D \xE2\x80\x93"), "\"q\" -");
    EXPECT_EQ(ReduceToAscii("\xE2\x82\xAC"), "?");
    EXPECT_EQ(ReduceToAscii("\xF0\x9F\x98\x80"), "??");
}

} // namespace
} // namespace telva
