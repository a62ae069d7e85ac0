#include "commons/json.h"

#include <gtest/gtest.h>

namespace telva {
namespace {

JsonValue Parse(std::string_view text) {
    auto value = ParseJsonObject(text);
    EXPECT_TRUE(value) << text;
    return value ? std::move(*value) : JsonValue();
}

TEST(JsonRead, OneObjectWithOnlyWhitespaceAround) {
    EXPECT_TRUE(ParseJsonObject("{}"));
    EXPECT_TRUE(ParseJsonObject(" \t\r\n{\"a\":1}\r\n"));
    EXPECT_FALSE(ParseJsonObject(""));
    EXPECT_FALSE(ParseJsonObject("   "));
    EXPECT_FALSE(ParseJsonObject("{\"a\":1}{\"b\":2}"));
    EXPECT_FALSE(ParseJsonObject("{\"a\":1} x"));
    EXPECT_FALSE(ParseJsonObject("{\"a\":1}\f"));
    EXPECT_FALSE(ParseJsonObject("[1,2]"));
    EXPECT_FALSE(ParseJsonObject("\"text\""));
    EXPECT_FALSE(ParseJsonObject("12"));
    EXPECT_FALSE(ParseJsonObject("null"));
    EXPECT_FALSE(ParseJsonObject("\xEF\xBB\xBF{}"));
}

TEST(JsonRead, StrictGrammar) {
    for (const char* bad : {"{\"a\":1,}",
                            "{\"a\":[1,]}",
                            "{'a':1}",
                            "{a:1}",
                            "{\"a\" 1}",
                            "{\"a\":01}",
                            "{\"a\":1.}",
                            "{\"a\":.5}",
                            "{\"a\":+1}",
                            "{\"a\":1e}",
                            "{\"a\":-}",
                            "{\"a\":NaN}",
                            "{\"a\":tru}",
                            "{\"a\":True}",
                            "{\"a\":\"x\ty\"}",
                            "{\"a\":\"\\x\"}",
                            "{\"a\":\"\\u12g4\"}",
                            "{\"a\":\"open}",
                            "{\"a\":1",
                            "{\"a\":[}",
                            "{\"a\":\"\xC3\"}",
                            "{\"a\":\"\xC0\xAF\"}",
                            "{\"a\":\"\xED\xA0\x80\"}",
                            "{\"a\":\"\xF5\x80\x80\x80\"}",
                            "{\"a\":1 2}",
                            "{,}"}) {
        EXPECT_FALSE(ParseJsonObject(bad)) << bad;
    }
    EXPECT_FALSE(ParseJsonObject(std::string("{\"a\":\"\0\"}", 7)));
}

TEST(JsonRead, KindsNumbersAndDocumentOrder) {
    const JsonValue v = Parse(R"({"s":"x","n":-12.50e+3,"t":true,"f":false,"z":null,"a":[1,"2",[]],"o":{}})");
    ASSERT_EQ(MemberCount(v), 7u);
    EXPECT_EQ(v.names(), (std::vector<std::string>{"s", "n", "t", "f", "z", "a", "o"}));
    EXPECT_EQ(MemberAt(v, 0).kind(), JsonKind::kString);
    EXPECT_EQ(MemberAt(v, 1).kind(), JsonKind::kNumber);
    EXPECT_EQ(MemberAt(v, 1).text(), "-12.50e+3");
    EXPECT_EQ(MemberAt(v, 2).kind(), JsonKind::kTrue);
    EXPECT_EQ(MemberAt(v, 3).kind(), JsonKind::kFalse);
    EXPECT_EQ(MemberAt(v, 4).kind(), JsonKind::kNull);
    EXPECT_EQ(MemberAt(v, 5).items().size(), 3u);
    EXPECT_EQ(MemberAt(v, 5).items()[1].text(), "2");
    EXPECT_EQ(MemberAt(v, 6).kind(), JsonKind::kObject);
    EXPECT_EQ(MemberCount(MemberAt(v, 5)), 0u);
    EXPECT_THROW(MemberAt(v, 7), std::out_of_range);
}

TEST(JsonRead, DuplicatesStayAndLookupTakesTheFirstExactName) {
    const JsonValue v = Parse(R"({"status":"FAIL","Status":"x","st\u0061tus":"SUCCESS","status":"SUCCESS"})");
    ASSERT_EQ(MemberCount(v), 4u);
    ASSERT_NE(FindMember(v, "status"), nullptr);
    EXPECT_EQ(FindMember(v, "status")->text(), "FAIL");
    EXPECT_EQ(MemberAt(v, 2).text(), "SUCCESS");
    EXPECT_EQ(v.names()[2], "status");
    EXPECT_EQ(FindMember(v, "STATUS"), nullptr);
    EXPECT_EQ(FindMember(v, "stat"), nullptr);
    EXPECT_EQ(FindMember(MemberAt(v, 0), "status"), nullptr);
}

TEST(JsonRead, EscapesAreDecoded) {
    const JsonValue v =
        Parse(R"({"e":"\"\\\/\b\f\n\r\t","u":"\u00e3\u20AC","p":"\ud83d\ude00","l":"\ud800x","r":"\udc00"})");
    EXPECT_EQ(FindMember(v, "e")->text(), "\"\\/\b\f\n\r\t");
    EXPECT_EQ(FindMember(v, "u")->text(), "\xC3\xA3\xE2\x82\xAC");
    EXPECT_EQ(FindMember(v, "p")->text(), "\xF0\x9F\x98\x80");
    // A lone surrogate keeps its generalized three-byte form.
    EXPECT_EQ(FindMember(v, "l")->text(), "\xED\xA0\x80x");
    EXPECT_EQ(FindMember(v, "r")->text(), "\xED\xB0\x80");
    EXPECT_EQ(Parse("{\"raw\":\"S\xC3\xA3o\"}").items()[0].text(), "S\xC3\xA3o");
}

TEST(JsonRead, NestingDeeperThanTheBoundIsUnreadable) {
    const auto nested = [](int depth) {
        std::string text = "{\"a\":";
        for (int i = 1; i < depth; ++i) {
            text += '[';
        }
        text += '1';
        for (int i = 1; i < depth; ++i) {
            text += ']';
        }
        return text + "}";
    };
    EXPECT_TRUE(ParseJsonObject(nested(kMaxJsonDepth)));
    EXPECT_FALSE(ParseJsonObject(nested(kMaxJsonDepth + 1)));
    // Far deeper input fails quickly without exhausting the stack.
    EXPECT_FALSE(ParseJsonObject(std::string(1000000, '[')));
    EXPECT_FALSE(ParseJsonObject("{\"a\":" + std::string(1000000, '[')));
    EXPECT_FALSE(ParseJsonObject(std::string(1000000, '{')));
}

TEST(JsonRead, PhraseSearchCoversNamesAndStringsAtAnyDepth) {
    const JsonValue nested = Parse(R"({"data":{"list":[1,{"x":["ok","please Sign in required now"]}]}})");
    EXPECT_TRUE(ContainsText(nested, "Sign in required"));
    EXPECT_TRUE(ContainsText(Parse(R"({"Sign in required":1})"), "Sign in required"));
    EXPECT_TRUE(ContainsText(Parse(R"({"m":"\u0053ign\u0020in required"})"), "Sign in required"));
    EXPECT_FALSE(ContainsText(Parse(R"({"m":"sign in required"})"), "Sign in required"));
    EXPECT_FALSE(ContainsText(Parse(R"({"m":["Sign in","required"]})"), "Sign in required"));
    EXPECT_FALSE(ContainsText(Parse(R"({"m":"Sign  in required"})"), "Sign in required"));
}

} // namespace
} // namespace telva
