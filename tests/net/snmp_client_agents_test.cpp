// The client against real net-snmp agents (tools/printer-fleet), on port 161 with the trap port 162.

#include "printer_fleet.h"
#include "refusal.h"

#include "platform/udp.h"
#include "platform/unicode.h"
#include "snmp/snmp_client.h"
#include "snmp/snmp_error.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <map>

namespace telva::test {
namespace {

const std::string kCommunity = "quarno";

const std::string kUnknownOid = "1.3.6.1.4.1.32473.77.1.0";

// The text the client must give for a value as the fleet configured it.
std::string ExpectedText(const FleetValue& value) {
    // An octet_str is stored by the agent as the bytes of its configured (UTF-8) text; each byte reads back
    // as one character.
    return value.type == "octet_str" ? platform::Latin1ToUtf8(value.value) : value.value;
}

std::uint8_t ExpectedTag(const std::string& type) {
    static const std::map<std::string, std::uint8_t> tags = {
        {"counter", 0x41}, {"uinteger", 0x42}, {"integer", 0x02}, {"octet_str", 0x04}, {"object_id", 0x06}};
    return tags.at(type);
}

std::string RunningPrinter(std::size_t nth) {
    for (const auto& [address, running] : FleetPrinters()) {
        if (running && nth-- == 0) {
            return address;
        }
    }
    return {};
}

TEST(SnmpClientAgents, ReadsEveryValueOfEveryPrinterWithItsType) {
    ASSERT_FALSE(FleetValues().empty());
    std::size_t read = 0;
    for (const auto& [address, running] : FleetPrinters()) {
        if (!running) {
            continue;
        }
        SnmpClient client;
        client.timing().receive_timeout_ms = 5000;
        std::uint16_t request_port = 0;
        for (const FleetValue& value : FleetValues()) {
            if (value.address != address) {
                continue;
            }
            std::string text = "old";
            ASSERT_TRUE(client.QueryValue(value.oid, kCommunity, address, text))
                << address << " " << value.oid;
            EXPECT_EQ(text, ExpectedText(value)) << address << " " << value.oid;
            ASSERT_EQ(client.reply().bindings.size(), 1u);
            EXPECT_EQ(client.reply().bindings[0].value.tag, ExpectedTag(value.type)) << value.oid;
            EXPECT_EQ(client.reply().community, kCommunity);
            EXPECT_EQ(client.reply().error_status, 0);
            if (request_port == 0) {
                request_port = client.RequestPort();
            }
            EXPECT_EQ(client.RequestPort(), request_port) << "the sockets are opened once per client";
            ++read;
        }
    }
    EXPECT_GE(read, 18u);
}

TEST(SnmpClientAgents, IdentifierTheAgentLacksGivesNoSuchName) {
    ASSERT_FALSE(FleetValues().empty());
    SnmpClient client;
    client.timing().receive_timeout_ms = 5000;
    std::string value = "kept";
    EXPECT_FALSE(client.QueryValue(kUnknownOid, kCommunity, RunningPrinter(0), value));
    EXPECT_EQ(value, "kept");
    EXPECT_EQ(client.reply().error_status, 2);
    // The next query of the same client resets the status.
    EXPECT_TRUE(client.QueryValue("1.3.6.1.2.1.43.10.2.1.4.1.1", kCommunity, RunningPrinter(0), value));
    EXPECT_EQ(client.reply().error_status, 0);
    EXPECT_NE(value, "kept");
}

TEST(SnmpClientAgents, PrinterWithoutAgentIsRefusedAtOnce) {
    ASSERT_FALSE(FleetValues().empty());
    std::string down;
    for (const auto& [address, running] : FleetPrinters()) {
        if (!running) {
            down = address;
        }
    }
    ASSERT_FALSE(down.empty());
    SnmpClient client;
    client.timing().receive_timeout_ms = kRefusalTimeoutMs;
    std::string value = "kept";
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(client.QueryValue("1.3.6.1.2.1.43.10.2.1.4.1.1", kCommunity, down, value));
    if (kRefusalEndsTheWait) {
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(kRefusalTimeoutMs / 2));
    }
    EXPECT_EQ(value, "kept");
    EXPECT_EQ(client.reply().error_status, 0);
}

TEST(SnmpClientAgents, WrongCommunityGetsNoAnswer) {
    ASSERT_FALSE(FleetValues().empty());
    SnmpClient client;
    client.timing().receive_timeout_ms = 500;
    std::string value = "kept";
    EXPECT_FALSE(client.QueryValue("1.3.6.1.2.1.43.10.2.1.4.1.1", "public", RunningPrinter(0), value));
    EXPECT_EQ(value, "kept");
}

TEST(SnmpClientAgents, TrapPortHeldByAnotherSocketCostsNoReading) {
    ASSERT_FALSE(FleetValues().empty());
    const std::string printer = RunningPrinter(0);
    SnmpClient holder; // a client that has queried holds port 162 (unless another program does already)
    holder.timing().receive_timeout_ms = 5000;
    std::string value;
    ASSERT_TRUE(holder.QueryValue("1.3.6.1.2.1.43.10.2.1.4.1.1", kCommunity, printer, value));

    // The second client reads without the trap port: the answer comes to its request socket.
    SnmpClient second;
    second.timing().receive_timeout_ms = 5000;
    std::string read = "kept";
    EXPECT_TRUE(second.QueryValue("1.3.6.1.2.1.43.10.2.1.4.1.1", kCommunity, printer, read));
    EXPECT_EQ(read, value);
    EXPECT_TRUE(second.trap_port_in_use());
}

TEST(SnmpClientAgents, PortIsFreeAgainWhenTheClientIsDiscarded) {
    ASSERT_FALSE(FleetValues().empty());
    {
        SnmpClient first;
        first.timing().receive_timeout_ms = 5000;
        std::string value;
        ASSERT_TRUE(first.QueryValue("1.3.6.1.2.1.43.10.2.1.4.1.1", kCommunity, RunningPrinter(0), value));
    }
    platform::UdpSocket probe;
    ASSERT_EQ(probe.Open(), 0);
    EXPECT_EQ(probe.Bind(162), 0);
}

} // namespace
} // namespace telva::test
