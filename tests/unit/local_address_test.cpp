#include "site/local_address.h"

#include <gtest/gtest.h>

namespace telva {
namespace {

TEST(ChooseLocalAddress, LastQualifyingEntryWins) {
    EXPECT_EQ(ChooseLocalAddress({"10.0.0.5", "192.168.1.7"}), "192.168.1.7");
    EXPECT_EQ(ChooseLocalAddress({"192.168.1.7", "169.254.3.4"}), "192.168.1.7");
    EXPECT_EQ(ChooseLocalAddress({"192.168.0.10"}), "192.168.0.10");
}

TEST(ChooseLocalAddress, SkipsTextStartingWith169Or127) {
    EXPECT_EQ(ChooseLocalAddress({"169.254.12.34"}), "");
    EXPECT_EQ(ChooseLocalAddress({"127.0.0.1"}), "");
    EXPECT_EQ(ChooseLocalAddress({"10.1.1.1", "169.10.0.1"}), "10.1.1.1");
    EXPECT_EQ(ChooseLocalAddress({"12.7.0.1"}), "12.7.0.1");
    EXPECT_EQ(ChooseLocalAddress({}), "");
}

} // namespace
} // namespace telva
