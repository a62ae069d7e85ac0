#include "platform/deadline.h"
#include "text/network_text.h"

#include <gtest/gtest.h>

#include <thread>

namespace telva {
namespace {

TEST(NetworkText, ControlCharactersBecomeBlanksSoNoLineCanBeForgedOrCut) {
    // A forged line, a cut of the log file (0x1A), terminal escapes and a bell, C1 controls in UTF-8 and as
    // lone bytes: each control character is one space; other characters, valid UTF-8 or not, stay.
    EXPECT_EQ(NetworkText("x\r\n01/01/2001 00:00:00 Audit summary"), "x  01/01/2001 00:00:00 Audit summary");
    EXPECT_EQ(NetworkText("a\x1A\x1A"
                          "b\x1B]0;t\x07\x1B[2J\x7F"),
              "a  b ]0;t  [2J ");
    EXPECT_EQ(NetworkText("\xC2\x9B"
                          "1m\x9B"
                          "2m S\xC3\xA3o \xE2\x82\xAC \xFF"),
              " 1m 2m S\xC3\xA3o \xE2\x82\xAC \xFF");
    EXPECT_EQ(NetworkText(""), "");
}

TEST(NetworkText, LongTextIsCutAtTheLimitAndSaysHowMuchMore) {
    EXPECT_EQ(NetworkText(std::string(kNetworkTextLimit, 'a')), std::string(kNetworkTextLimit, 'a'));
    const std::string cut = NetworkText(std::string(100000, 'a'));
    EXPECT_EQ(cut, std::string(kNetworkTextLimit, 'a') + " ... (99000 more bytes)");
    // Characters are counted, not bytes: a two-byte character is never split.
    const std::string wide = NetworkText(std::string(kNetworkTextLimit, 'a') + "\xC3\xA3\xC3\xA3");
    EXPECT_EQ(wide, std::string(kNetworkTextLimit, 'a') + " ... (4 more bytes)");
    // The refused-fetch rule: control characters dropped and not counted.
    EXPECT_EQ(ScrubText("ab\r\ncd", ControlCharacters::Drop, 3).text, "abc");
    EXPECT_EQ(ScrubText("ab\r\ncd", ControlCharacters::Drop, 3).bytes_left_out, 1u);
}

TEST(Deadline, CutoffEndsAWaitEarlyAndNoWaitOutlastsThePollWhileOneMayCome) {
    Cutoff cutoff;
    const Deadline deadline = Deadline::In(60000, &cutoff);
    EXPECT_FALSE(deadline.CutShort());
    EXPECT_EQ(deadline.NextWaitMs(), Deadline::kCutoffPollMs);
    EXPECT_GT(deadline.Within(30000).LeftMs(), 29000u);
    EXPECT_LE(deadline.Within(30000).LeftMs(), 30000u);
    cutoff.Set(SteadyClock::now() + std::chrono::seconds(20));
    cutoff.Set(SteadyClock::now() + std::chrono::seconds(40)); // a later cut-off changes nothing
    EXPECT_TRUE(deadline.CutShort());
    EXPECT_LE(deadline.LeftMs(), 20000u);
    EXPECT_GT(deadline.NextWaitMs(), Deadline::kCutoffPollMs); // the cut-off has come: no more polling
    cutoff.Set(SteadyClock::now() - std::chrono::milliseconds(1));
    EXPECT_TRUE(deadline.Expired());
    EXPECT_EQ(deadline.NextWaitMs(), 0u);
    EXPECT_FALSE(Deadline::In(5).CutShort());
}

} // namespace
} // namespace telva
