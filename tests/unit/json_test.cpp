#include "server/json.h"

#include <gtest/gtest.h>

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace telva {
namespace {

JsonDocument Parse(std::string_view text) {
    auto document = ParseJsonObject(text);
    if (!document) {
        throw std::runtime_error("unreadable: " + std::string(text));
    }
    return std::move(*document);
}

std::vector<std::string> Names(const JsonValue& object) {
    std::vector<std::string> names;
    for (const JsonValue& member : object.items()) {
        names.emplace_back(member.name());
    }
    return names;
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
    const JsonDocument document =
        Parse(R"({"s":"x","n":-12.50e+3,"t":true,"f":false,"z":null,"a":[1,"2",[]],"o":{}})");
    const JsonValue& v = document.root();
    ASSERT_EQ(MemberCount(v), 7u);
    EXPECT_EQ(Names(v), (std::vector<std::string>{"s", "n", "t", "f", "z", "a", "o"}));
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
    const JsonDocument document =
        Parse(R"({"status":"FAIL","Status":"x","st\u0061tus":"SUCCESS","status":"SUCCESS"})");
    const JsonValue& v = document.root();
    ASSERT_EQ(MemberCount(v), 4u);
    ASSERT_NE(FindMember(v, "status"), nullptr);
    EXPECT_EQ(FindMember(v, "status")->text(), "FAIL");
    EXPECT_EQ(MemberAt(v, 2).text(), "SUCCESS");
    EXPECT_EQ(Names(v)[2], "status");
    EXPECT_EQ(FindMember(v, "STATUS"), nullptr);
    EXPECT_EQ(FindMember(v, "stat"), nullptr);
    EXPECT_EQ(FindMember(MemberAt(v, 0), "status"), nullptr);
}

TEST(JsonRead, EscapesAreDecoded) {
    const JsonDocument document =
        Parse(R"({"e":"\"\\\/\b\f\n\r\t","u":"\u00e3\u20AC","p":"\ud83d\ude00","l":"\ud800x","r":"\udc00"})");
    const JsonValue& v = document.root();
    EXPECT_EQ(FindMember(v, "e")->text(), "\"\\/\b\f\n\r\t");
    EXPECT_EQ(FindMember(v, "u")->text(), "\xC3\xA3\xE2\x82\xAC");
    EXPECT_EQ(FindMember(v, "p")->text(), "\xF0\x9F\x98\x80");
    // A lone surrogate keeps its generalized three-byte form.
    EXPECT_EQ(FindMember(v, "l")->text(), "\xED\xA0\x80x");
    EXPECT_EQ(FindMember(v, "r")->text(), "\xED\xB0\x80");
    EXPECT_EQ(Parse("{\"raw\":\"S\xC3\xA3o\"}").root().items()[0].text(), "S\xC3\xA3o");
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
    const JsonDocument nested = Parse(R"({"data":{"list":[1,{"x":["ok","please Sign in required now"]}]}})");
    EXPECT_TRUE(ContainsText(nested.root(), "Sign in required"));
    EXPECT_TRUE(ContainsText(Parse(R"({"Sign in required":1})").root(), "Sign in required"));
    EXPECT_TRUE(ContainsText(Parse(R"({"m":"\u0053ign\u0020in required"})").root(), "Sign in required"));
    EXPECT_FALSE(ContainsText(Parse(R"({"m":"sign in required"})").root(), "Sign in required"));
    EXPECT_FALSE(ContainsText(Parse(R"({"m":["Sign in","required"]})").root(), "Sign in required"));
    EXPECT_FALSE(ContainsText(Parse(R"({"m":"Sign  in required"})").root(), "Sign in required"));
}

TEST(JsonDocument, ValuesStayValidWhenTheDocumentMovesAndSelectNarrowsIt) {
    std::optional<JsonDocument> document = ParseJsonObject(
        R"({"status":"SUCCESS","data":{"items":{"7":{"id":"7","ip":"127.0.0.2"}}},"errors":null})");
    ASSERT_TRUE(document);
    const JsonValue* data = FindMember(document->root(), "data");
    ASSERT_NE(data, nullptr);
    document->Select(*data);
    const JsonDocument moved = std::move(*document);
    document.reset();
    EXPECT_EQ(&moved.root(), data);
    const JsonValue& printer = MemberAt(*FindMember(moved.root(), "items"), 0);
    EXPECT_EQ(printer.name(), "7");
    EXPECT_EQ(ValueText(*FindMember(printer, "ip")), "127.0.0.2");
}

TEST(JsonDocument, EveryValueFitsWhereCommasAndBracketsHideInStrings) {
    // The value array is sized from a count of commas and brackets; strings full of them, empty
    // containers and deep nesting must all stay within it.
    std::string text =
        R"({"a":",,,[[{{","b":[],"c":{},"d":[[[[]]]],"e":[1,[2,[3,{"f":[4,5,{}]}]]],"g":"]}"})";
    const JsonDocument document = Parse(text);
    EXPECT_EQ(Names(document.root()), (std::vector<std::string>{"a", "b", "c", "d", "e", "g"}));
    const JsonValue& e = *FindMember(document.root(), "e");
    EXPECT_EQ(e.items()[1].items()[1].items()[1].items()[0].items()[2].kind(), JsonKind::kObject);
    EXPECT_EQ(FindMember(document.root(), "g")->text(), "]}");
    // Escaped quotes and backslashes at a string's end: the values after them all fit.
    for (const char* escaped :
         {R"({"q":"a\\","b":[1,2,3],"c":{"d":[4,5,6]}})", R"({"q":"\"","b":[1,2,3],"c":{"d":[4,5,6]}})",
          R"({"q":"\\\",","b":[1,2,3],"c":{"d":[4,5,6]}})"}) {
        const JsonDocument parsed = Parse(escaped);
        EXPECT_EQ(FindMember(*FindMember(parsed.root(), "c"), "d")->items().size(), 3u) << escaped;
    }
    // A long flat array: one value per two bytes, the densest text there is.
    std::string flat = "{\"v\":[0";
    for (int i = 1; i < 100000; ++i) {
        flat += ",0";
    }
    flat += "]}";
    const JsonDocument dense = Parse(flat);
    EXPECT_EQ(FindMember(dense.root(), "v")->items().size(), 100000u);
    // Dense texts are given room for their values alone (empty containers hold none; a named container
    // takes one slot for its name): every shape, with and without whitespace, still fits exactly.
    const std::vector<std::pair<std::string, bool>> shapes = {{"[],", false},
                                                              {"[1],", false},
                                                              {"[ [ ] , { } ],", false},
                                                              {R"({"":[]},)", false},
                                                              {R"("k":[1],)", true},
                                                              {R"( "k" : [ 1 ] ,)", true},
                                                              {R"("k":{},)", true},
                                                              {R"("k":{"j":[]},)", true},
                                                              {R"("k":"v",)", true}};
    for (const auto& [unit, object] : shapes) {
        std::string repeated = object ? "{\"v\":{" : "{\"v\":[";
        for (int i = 0; i < 20000; ++i) {
            repeated += unit;
        }
        repeated.back() = object ? '}' : ']';
        repeated += "}";
        const std::optional<JsonDocument> parsed = ParseJsonObject(repeated);
        ASSERT_TRUE(parsed) << unit;
        const JsonValue& v = *FindMember(parsed->root(), "v");
        ASSERT_EQ(v.items().size(), 20000u) << unit;
        EXPECT_EQ(v.items().back().name(), object ? "k" : "") << unit;
        EXPECT_EQ(ContainsText(parsed->root(), "j"), unit.find("\"j\"") != std::string::npos) << unit;
    }
}

} // namespace
} // namespace telva
