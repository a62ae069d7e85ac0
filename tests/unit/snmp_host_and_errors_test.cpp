// The host text rule of a query and the socket error messages both builds log.

#include "platform/socket_error_text.h"
#include "snmp/host_address.h"

#include <gtest/gtest.h>

namespace telva {
namespace {

TEST(SnmpHostAddress, DottedAddressesAndLocalhost) {
    platform::Ipv4Address address{};
    ASSERT_EQ(ResolveHostAddress("LocalHost", address), 0);
    EXPECT_EQ(address, (platform::Ipv4Address{127, 0, 0, 1}));
    ASSERT_EQ(ResolveHostAddress("127.0.0.9", address), 0);
    EXPECT_EQ(address, (platform::Ipv4Address{127, 0, 0, 9}));
    EXPECT_EQ(ParseDottedIpv4("255.0.10.001"), (platform::Ipv4Address{255, 0, 10, 1}));
    for (const char* text : {"256.0.0.1", "1.2.3", "1.2.3.4.", "1.2.3.4.5", "1..2.3", " 1.2.3.4", "1.2.3.4 ",
                             "1.2.3.-4", "a.b.c.d", "1.2.3.1234", ""}) {
        EXPECT_FALSE(ParseDottedIpv4(text).has_value()) << text;
    }
}

TEST(SocketErrorText, MessagesCarryCodeAndDescription) {
    EXPECT_EQ(platform::SocketErrorMessage(11001), "Socket Error # 11001\r\nHost not found.");
    EXPECT_EQ(platform::SocketErrorMessage(10040), "Socket Error # 10040\r\nMessage too long.");
    EXPECT_EQ(platform::SocketErrorMessage(10066), "Socket Error # 10066\r\nDirectory not empty");
    EXPECT_EQ(platform::SocketErrorMessage(11002),
              "Socket Error # 11002\r\nTemporary failure in name resolution: no name server answered");
    EXPECT_EQ(platform::SocketErrorMessage(10008), "Socket Error # 10008\r\n");
    EXPECT_EQ(platform::SocketErrorText(10047), "Address family not supported by protocol family.");
    EXPECT_EQ(platform::SocketErrorText(10008), "");
    int described = 0;
    for (int code = 10000; code <= 11010; ++code) {
        described += platform::SocketErrorText(code).empty() ? 0 : 1;
    }
    EXPECT_EQ(described, 42); // the table's 42 entries
}

} // namespace
} // namespace telva
