#include "server/json.h"

#include <gtest/gtest.h>

namespace telva {
namespace {

std::string TextOf(std::string_view member_json) {
    const auto value = ParseJsonObject("{\"v\":" + std::string(member_json) + "}");
    EXPECT_TRUE(value) << member_json;
    return value ? ValueText(*FindMember(value->root(), "v")) : std::string("<unreadable>");
}

TEST(ValueText, StringsAndLiterals) {
    EXPECT_EQ(TextOf("\"abc\""), "abc");
    EXPECT_EQ(TextOf("\"\""), "");
    EXPECT_EQ(TextOf("true"), "");
    EXPECT_EQ(TextOf("false"), "");
    EXPECT_EQ(TextOf("null"), "");
    EXPECT_EQ(TextOf("{\"a\":1}"), "");
    EXPECT_EQ(TextOf("[1]"), "");
}

TEST(ValueText, ShortOrDecimalNumbersGoThroughADouble) {
    EXPECT_EQ(TextOf("2.50"), "2.5");
    EXPECT_EQ(TextOf("1e3"), "1000");
    EXPECT_EQ(TextOf("42"), "42");
    EXPECT_EQ(TextOf("-7"), "-7");
    EXPECT_EQ(TextOf("12345678901"), "12345678901");
    EXPECT_EQ(TextOf("0"), "0");
    EXPECT_EQ(TextOf("-0"), "0");
    EXPECT_EQ(TextOf("0.1"), "0.1");
    EXPECT_EQ(TextOf("1E-2"), "0.01");
    // At most 15 significant digits.
    EXPECT_EQ(TextOf("3.14159265358979323"), "3.14159265358979");
    EXPECT_EQ(TextOf("123456789012.5"), "123456789012.5");
    EXPECT_EQ(TextOf("1234567890123456.0"), "1.23456789012346e+15");
    EXPECT_EQ(TextOf("1e-400"), "0");
}

TEST(ValueText, LongIntegerLiteralsAreReadAsSixtyFourBitIntegers) {
    EXPECT_EQ(TextOf("123456789012"), "123456789012");
    EXPECT_EQ(TextOf("9223372036854775807"), "9223372036854775807");
    EXPECT_EQ(TextOf("-9223372036854775808"), "-9223372036854775808");
    EXPECT_EQ(TextOf("12345678901234567"), "12345678901234567"); // beyond a double's exact range
}

TEST(ValueText, NumbersWithoutTextAreErrorsTheCallerSees) {
    for (const char* literal : {"9223372036854775808", "-9223372036854775809", "1234567890e12",
                                "100000000000E1", "1e400", "-1e309"}) {
        const auto value = ParseJsonObject("{\"v\":" + std::string(literal) + "}");
        ASSERT_TRUE(value) << literal;
        EXPECT_THROW(ValueText(value->root().items()[0]), JsonValueError) << literal;
    }
    try {
        ValueText(ParseJsonObject("{\"v\":1e400}")->root().items()[0]);
    } catch (const JsonValueError& error) {
        EXPECT_STREQ(error.what(), "The number 1e400 cannot be read as text");
    }
}

TEST(ValueText, RegionalDecimalSeparator) {
    EXPECT_EQ(NumberText("2.50", ","), "2,5");
    EXPECT_EQ(NumberText("1e3", ","), "1000");
    EXPECT_EQ(NumberText("-0.125", "\xC2\xB7"), "-0\xC2\xB7"
                                                "125");
    EXPECT_EQ(NumberText("123456789012", ","), "123456789012");
}

} // namespace
} // namespace telva
