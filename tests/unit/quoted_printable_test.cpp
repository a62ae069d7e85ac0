#include "server/quoted_printable.h"

#include <gtest/gtest.h>

namespace telva {
namespace {

std::string Qp(std::string_view bytes) {
    std::string out;
    AppendQuotedPrintable(bytes, out);
    return out;
}

TEST(QuotedPrintable, SafeCharactersStandForThemselves) {
    EXPECT_EQ(Qp("123"), "123\r\n");
    EXPECT_EQ(Qp("3.5"), "3.5\r\n");
    EXPECT_EQ(Qp("1.3.6.1.2.1.43.10.2.1.4.1.1"), "1.3.6.1.2.1.43.10.2.1.4.1.1\r\n");
    EXPECT_EQ(Qp("a b\tc"), "a b\tc\r\n");
}

TEST(QuotedPrintable, EqualsControlAndHighBytesAreEscapedInUpperCaseHex) {
    EXPECT_EQ(Qp("50%=half"), "50%=3Dhalf\r\n");
    EXPECT_EQ(Qp("\xE3"), "=E3\r\n");
    EXPECT_EQ(Qp(std::string("a\0b", 3)), "a=00b\r\n");
    EXPECT_EQ(Qp("\x7F\xFF\x1B"), "=7F=FF=1B\r\n");
}

TEST(QuotedPrintable, LeadingDotOfAnOutputLineIsEscaped) {
    EXPECT_EQ(Qp(".5"), "=2E5\r\n");
    EXPECT_EQ(Qp("a.5"), "a.5\r\n");
    EXPECT_EQ(Qp("x\n.y"), "x\r\n=2Ey\r\n");
    // A dot that starts the line after a soft break is escaped as well.
    EXPECT_EQ(Qp(std::string(70, 'x') + ".z"), std::string(70, 'x') + "=\r\n=2Ez\r\n");
}

// A line opening with "--" could be taken for the boundary delimiter by the server's parser, which would
// cut the value short; its first "-" is escaped. A single leading "-" (a negative reading) stays as it is.
TEST(QuotedPrintable, DoubleDashOpeningAnOutputLineIsEscaped) {
    EXPECT_EQ(Qp("----------030524140709045--"), "=2D---------030524140709045--\r\n");
    EXPECT_EQ(Qp("-2"), "-2\r\n");
    EXPECT_EQ(Qp("a--b"), "a--b\r\n");
    EXPECT_EQ(Qp("x\r\n--y"), "x\r\n=2D-y\r\n");
    EXPECT_EQ(Qp(std::string(70, 'x') + "--"), std::string(70, 'x') + "=\r\n=2D-\r\n");
}

TEST(QuotedPrintable, TrailingBlankOfEachLineIsEscaped) {
    EXPECT_EQ(Qp("12 "), "12=20\r\n");
    EXPECT_EQ(Qp("12\t"), "12=09\r\n");
    EXPECT_EQ(Qp("a \r\nb"), "a=20\r\nb\r\n");
    EXPECT_EQ(Qp(" "), "=20\r\n");
    EXPECT_EQ(Qp("  x"), "  x\r\n");
}

TEST(QuotedPrintable, LinesAreCutAtCrLfLoneLfAndLoneCr) {
    EXPECT_EQ(Qp("a\r\nb"), "a\r\nb\r\n");
    EXPECT_EQ(Qp("a\nb"), "a\r\nb\r\n");
    EXPECT_EQ(Qp("a\rb"), "a\r\nb\r\n");
    EXPECT_EQ(Qp("a\n\rb"), "a\r\n\r\nb\r\n");
    // A break at the very end only ends the last line.
    EXPECT_EQ(Qp("a\r\n"), "a\r\n");
    EXPECT_EQ(Qp("a\n\n"), "a\r\n\r\n");
    EXPECT_EQ(Qp("\r\n"), "\r\n");
    EXPECT_EQ(Qp(""), "");
}

TEST(QuotedPrintable, SoftBreakOnceAnOutputLineHoldsSeventyCharacters) {
    EXPECT_EQ(Qp(std::string(75, 'x')), std::string(70, 'x') + "=\r\n" + std::string(5, 'x') + "\r\n");
    // Exactly 70: the soft break, then the line's own CR LF on an empty output line.
    EXPECT_EQ(Qp(std::string(70, 'x')), std::string(70, 'x') + "=\r\n\r\n");
    EXPECT_EQ(Qp(std::string(69, 'x')), std::string(69, 'x') + "\r\n");
    // An escape that crosses column 70 makes a line of 71 or 72 characters before its "=".
    EXPECT_EQ(Qp(std::string(69, 'x') + "=" + "y"), std::string(69, 'x') + "=3D=\r\ny\r\n");
    EXPECT_EQ(Qp(std::string(141, 'a')),
              std::string(70, 'a') + "=\r\n" + std::string(70, 'a') + "=\r\n" + "a\r\n");
}

} // namespace
} // namespace telva
