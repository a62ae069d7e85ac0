// The client against a scripted peer on loopback: what it sends, how it reads each kind of answer, which
// datagrams are not the answer, and which failures raise which messages.

#include "refusal.h"
#include "snmp_answers.h"
#include "udp_responder.h"

#include "platform/sleep.h"
#include "printer_reader.h"
#include "snmp/snmp_client.h"
#include "snmp/snmp_error.h"
#include "support/fake_clock.h"
#include "support/memory_log.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>

namespace telva::test {
namespace {

const platform::Ipv4Address kPeer = PeerAddress(7);
const std::string kPeerText = PeerAddressText(7);
const std::string kOid = "1.3.6.1.2.1.43.10.2.1.4.1.1";

UdpResponder::Script Always(const Bytes& answer) {
    return [answer](const Bytes&, int) { return std::vector<ScriptedAnswer>{{answer}}; };
}

// A client aimed at `port` with a trap port of its own, so these tests do not need port 162.
struct Client : SnmpClient {
    explicit Client(std::uint16_t port, std::int32_t timeout_ms = 3000) {
        timing().agent_port = port;
        timing().trap_port = FreeUdpPort();
        timing().receive_timeout_ms = timeout_ms;
    }
};

std::string ExpectError(const std::function<void()>& action) {
    try {
        action();
    } catch (const SnmpError& error) {
        return error.what();
    }
    ADD_FAILURE() << "no SnmpError raised";
    return {};
}

long long MillisecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
        .count();
}

TEST(SnmpClientCrafted, SendsTheWorkedExampleAndReadsTheCounter) {
    UdpResponder peer(kPeer, Always(Response(0, Binding(kOid, {0x41, 0x04, 0xFF, 0xFF, 0xFF, 0xFF}))));
    Client client(peer.Port());
    std::string value = "old";
    ASSERT_TRUE(client.QueryValue(kOid, "quarno", kPeerText, value));
    EXPECT_EQ(value, "4294967295");
    EXPECT_EQ(client.reply().error_status, 0);
    ASSERT_EQ(peer.Requests().size(), 1u);
    const Bytes expected = {0x30, 0x2A, 0x02, 0x01, 0x00, 0x04, 0x06, 'q',  'u',  'a',  'r',
                            'n',  'o',  0xA0, 0x1D, 0x02, 0x01, 0x00, 0x02, 0x01, 0x00, 0x02,
                            0x01, 0x00, 0x30, 0x12, 0x30, 0x10, 0x06, 0x0C, 0x2B, 0x06, 0x01,
                            0x02, 0x01, 0x2B, 0x0A, 0x02, 0x01, 0x04, 0x01, 0x01, 0x04, 0x00};
    EXPECT_EQ(peer.Requests()[0], expected);
}

TEST(SnmpClientCrafted, ValueTextsOfEachAnswerType) {
    const struct {
        Bytes value;
        std::string text;
    } cases[] = {
        {{0x02, 0x01, 0xFE}, "-2"},
        {{0x02, 0x00}, "0"},
        {{0x41, 0x05, 0x00, 0xFF, 0xFF, 0xFF, 0xFF}, "4294967295"},
        {{0x42, 0x02, 0x01, 0x00}, "256"},
        {{0x43, 0x01, 0x64}, "100"},
        {{0x04, 0x03, 0x31, 0x32, 0x33}, "123"},
        {{0x04, 0x02, 0xE9, 0x41},
         "\xC3\xA9"
         "A"},
        {{0x40, 0x04, 0xC0, 0xA8, 0x01, 0x0A}, "192.168.1.10"},
        {{0x05, 0x00}, ""},
        {{0x80, 0x00}, ""},
        {{0x06, 0x03, 0x2B, 0x06, 0x01}, "1.3.6.1"},
        {{0x44, 0x01, 0x7A}, "z"},
    };
    for (const auto& c : cases) {
        UdpResponder peer(kPeer, Always(Response(0, Binding(kOid, c.value))));
        Client client(peer.Port());
        std::string value = "old";
        ASSERT_TRUE(client.QueryValue(kOid, "quarno", kPeerText, value));
        EXPECT_EQ(value, c.text);
        EXPECT_EQ(client.reply().bindings[0].value.tag, c.value[0]);
    }
}

TEST(SnmpClientCrafted, OnlyThePrintersOwnAddressAndPortAnswer) {
    const Bytes forged = Response(0, Binding(kOid, {0x41, 0x03, 0x0F, 0x42, 0x3F})); // 999999
    const Bytes own = Response(0, Binding(kOid, {0x41, 0x01, 0x2A}), "other", 0x77);
    // Another host sends 999999 and a datagram too long to read before the printer answers: both are
    // dropped, and the printer's answer counts whatever its request-id or community.
    UdpResponder peer(
        kPeer,
        [&](const Bytes&, int) {
            return std::vector<ScriptedAnswer>{{forged, 0, true}, {Bytes(9000, 0x30), 0, true}, {own, 200}};
        },
        0, platform::Ipv4Address{127, 0, 0, 9});
    Client client(peer.Port());
    std::string value;
    ASSERT_TRUE(client.QueryValue(kOid, "quarno", kPeerText, value));
    EXPECT_EQ(value, "42");
    EXPECT_EQ(client.reply().community, "other");
    EXPECT_EQ(client.reply().request_id, 0x77);

    // The printer's address from another port is not the printer either.
    UdpResponder other_port(kPeer, [&](const Bytes&, int) {
        return std::vector<ScriptedAnswer>{{forged, 0, true}, {own, 200}};
    });
    Client second(other_port.Port());
    ASSERT_TRUE(second.QueryValue(kOid, "quarno", kPeerText, value));
    EXPECT_EQ(value, "42");

    // Dropped datagrams do not lengthen the wait: it ends when its time is up.
    UdpResponder flood(
        kPeer,
        [&](const Bytes&, int) {
            std::vector<ScriptedAnswer> answers;
            for (int at = 0; at <= 3000; at += 500) {
                answers.push_back({forged, at, true});
            }
            return answers;
        },
        0, platform::Ipv4Address{127, 0, 0, 9});
    Client flooded(flood.Port(), 1000);
    value = "kept";
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(flooded.QueryValue(kOid, "quarno", kPeerText, value));
    EXPECT_LT(MillisecondsSince(start), 2500);
    EXPECT_EQ(value, "kept");
    EXPECT_FALSE(flooded.answered());
}

TEST(SnmpClientCrafted, ErrorStatusLeavesTheValueUntouched) {
    UdpResponder peer(kPeer, Always(Response(2, Binding(kOid, {0x41, 0x01, 0x2A}))));
    Client client(peer.Port());
    std::string value = "kept";
    EXPECT_FALSE(client.QueryValue(kOid, "quarno", kPeerText, value));
    EXPECT_EQ(value, "kept");
    EXPECT_EQ(client.reply().error_status, 2);
}

TEST(SnmpClientCrafted, AnswerNamingAnotherIdentifierGivesEmptyText) {
    UdpResponder peer(kPeer, Always(Response(0, Binding("1.3.6.1.2.1.1.1.0", {0x04, 0x01, 'x'}))));
    Client client(peer.Port());
    std::string value = "old";
    EXPECT_TRUE(client.QueryValue(kOid, "quarno", kPeerText, value));
    EXPECT_EQ(value, "");
}

TEST(SnmpClientCrafted, EmptyDatagramIsNoAnswer) {
    UdpResponder peer(kPeer, Always({}));
    Client client(peer.Port());
    std::string value = "kept";
    EXPECT_FALSE(client.QueryValue(kOid, "quarno", kPeerText, value));
    EXPECT_EQ(value, "kept");
    EXPECT_EQ(client.reply().error_status, 0);
}

TEST(SnmpClientCrafted, TruncatedAndLyingAnswersDecodeAsFarAsTheyGo) {
    Bytes lying = Response(0, Binding(kOid, {0x41, 0x01, 0x05}));
    lying[1] = 0x7F; // outer length beyond the datagram
    UdpResponder peer(kPeer, Always(lying));
    Client client(peer.Port());
    std::string value;
    EXPECT_TRUE(client.QueryValue(kOid, "quarno", kPeerText, value));
    EXPECT_EQ(value, "5");
    EXPECT_EQ(peer.Requests().size(), 1u) << "nothing sent again";

    Bytes cut = Response(0, Binding(kOid, {0x41, 0x02, 0x30, 0x39}));
    cut.resize(cut.size() - 1); // the value runs past the end: the binding is dropped
    UdpResponder cut_peer(kPeer, Always(cut));
    Client cut_client(cut_peer.Port());
    value = "old";
    EXPECT_TRUE(cut_client.QueryValue(kOid, "quarno", kPeerText, value));
    EXPECT_EQ(value, "");
    EXPECT_TRUE(cut_client.reply().bindings.empty());

    UdpResponder garbage_peer(kPeer, Always({0x30}));
    Client garbage_client(garbage_peer.Port());
    value = "old";
    EXPECT_TRUE(garbage_client.QueryValue(kOid, "quarno", kPeerText, value));
    EXPECT_EQ(value, "");
}

TEST(SnmpClientCrafted, DatagramsUpToTheBufferAreReadAndLargerOnesRaise) {
    const auto padded = [](std::size_t total) {
        // An answer whose trailing OCTET STRING binding pads the datagram to `total` bytes.
        Bytes answer = Response(0, Concat({Binding(kOid, {0x41, 0x01, 0x07}),
                                           Binding("1.3.6", Tlv(0x04, Bytes(total - 64, 'p')))}));
        const std::size_t pad = total - answer.size();
        return Response(0, Concat({Binding(kOid, {0x41, 0x01, 0x07}),
                                   Binding("1.3.6", Tlv(0x04, Bytes(total - 64 + pad, 'p')))}));
    };
    const Bytes exact = padded(8192);
    ASSERT_EQ(exact.size(), 8192u);
    UdpResponder peer(kPeer, Always(exact));
    Client client(peer.Port());
    std::string value;
    EXPECT_TRUE(client.QueryValue(kOid, "quarno", kPeerText, value));
    EXPECT_EQ(value, "7");

    const Bytes over = padded(8193);
    ASSERT_EQ(over.size(), 8193u);
    UdpResponder big_peer(kPeer, Always(over));
    Client big_client(big_peer.Port());
    value = "kept";
    EXPECT_EQ(ExpectError([&] { big_client.QueryValue(kOid, "quarno", kPeerText, value); }),
              "Socket Error # 10040\r\nMessage too long.");
    EXPECT_EQ(value, "kept");
    EXPECT_EQ(big_client.reply().error_status, 0);
}

TEST(SnmpClientCrafted, LateAnswerIsDroppedAndItsQueryCountedUnanswered) {
    // Each query waits 2 s. The first query's answer comes 0.5 s after its wait, while the second query
    // waits for its own, which follows 0.3 s later; the other four are answered at once.
    const std::array<std::string, kCounterCount> oids = {"1.3.6.1.9.1", "1.3.6.1.9.2", "1.3.6.1.9.3",
                                                         "1.3.6.1.9.4", "1.3.6.1.9.5", "1.3.6.1.9.6"};
    UdpResponder peer(kPeer, [&](const Bytes&, int number) {
        const auto n = static_cast<std::size_t>(number) % kCounterCount;
        const Bytes answer = Response(0, Binding(oids[n], {0x02, 0x01, static_cast<std::uint8_t>(10 + n)}));
        return std::vector<ScriptedAnswer>{{answer, n == 0 ? 2500 : n == 1 ? 300 : 0}};
    });
    FakeClock clock;
    MemoryLog log;
    RunContext context(clock, log);
    context.snmp.agent_port = peer.Port();
    context.snmp.receive_timeout_ms = 2000;
    ReadOptions options;
    options.hold_trap_port = false;
    PrinterReading reading;
    ReadPrinters(context, {Printer{"1", kPeerText, "", oids}}, options,
                 [&](std::size_t, PrinterReading& taken) { reading = taken; });

    EXPECT_EQ(reading.results[0], QueryResult::NoAnswer);
    EXPECT_EQ(reading.readings, (CounterReadings{"", "11", "12", "13", "14", "15"}));
    EXPECT_EQ(log.Lines(),
              (std::vector<std::string>{"SNMP trying IP " + kPeerText,
                                        "SNMP no answer IP " + kPeerText + ": 1 of 6 queries unanswered"}));
    EXPECT_EQ(peer.Requests().size(), kCounterCount) << "one datagram per query";
}

TEST(SnmpClientCrafted, PrinterLinesShowTheListsAddressMadeSafe) {
    // An address holding a line break, a forged time stamp and the end-of-file mark of the log.
    const std::string address = "printer\r\n01/01/2001 00:00:00 forged\x1a..invalid";
    FakeClock clock;
    MemoryLog log;
    RunContext context(clock, log);
    ReadOptions options;
    options.hold_trap_port = false;
    ReadPrinters(context, {Printer{"1", address, "", {}}}, options, [](std::size_t, PrinterReading&) {});
    const std::vector<std::string> lines = log.Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "SNMP trying IP printer  01/01/2001 00:00:00 forged ..invalid");
    EXPECT_TRUE(lines[1].starts_with("Error 0 - Socket Error # 1100")) << lines[1];
}

TEST(SnmpClientCrafted, SilentPeerTimesOutWithoutRepeating) {
    UdpResponder peer(kPeer, [](const Bytes&, int) { return std::vector<ScriptedAnswer>{}; });
    Client client(peer.Port(), 300);
    std::string value = "kept";
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(client.QueryValue(kOid, "quarno", kPeerText, value));
    EXPECT_GE(MillisecondsSince(start), 200); // a timer may end a little early
    EXPECT_EQ(value, "kept");
    EXPECT_EQ(client.reply().error_status, 0);
    platform::SleepMilliseconds(100);
    EXPECT_EQ(peer.Requests().size(), 1u);
}

TEST(SnmpClientCrafted, RefusedPortEndsTheWaitWithoutError) {
    // Nothing listens on this port: the refusal (ICMP port unreachable) ends the query.
    Client client(FreeUdpPort(), kRefusalTimeoutMs);
    std::string value = "kept";
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(client.QueryValue(kOid, "quarno", "127.0.0.8", value));
    if (kRefusalEndsTheWait) {
        EXPECT_LT(MillisecondsSince(start), kRefusalTimeoutMs / 2)
            << "the refusal, not the time-out, ended the wait";
    }
    EXPECT_EQ(value, "kept");
    EXPECT_EQ(client.reply().error_status, 0);
    // The same client goes on working after a refusal.
    UdpResponder peer(kPeer, Always(Response(0, Binding(kOid, {0x41, 0x01, 0x03}))));
    client.timing().agent_port = peer.Port();
    EXPECT_TRUE(client.QueryValue(kOid, "quarno", kPeerText, value));
    EXPECT_EQ(value, "3");
}

TEST(SnmpClientCrafted, SocketsAreOpenedOnceAndLocalhostIsLoopback) {
    UdpResponder peer({127, 0, 0, 1}, Always(Response(0, Binding(kOid, {0x41, 0x01, 0x01}))));
    Client client(peer.Port());
    EXPECT_EQ(client.RequestPort(), 0);
    std::string value;
    ASSERT_TRUE(client.QueryValue(kOid, "quarno", "LocalHost", value));
    const std::uint16_t first_port = client.RequestPort();
    EXPECT_NE(first_port, 0);
    ASSERT_TRUE(client.QueryValue(kOid, "quarno", "localhost", value));
    EXPECT_EQ(client.RequestPort(), first_port);
    EXPECT_EQ(peer.Requests().size(), 2u);
}

TEST(SnmpClientCrafted, HeldTrapPortIsLeftAsideAndTheQueriesGoOn) {
    platform::UdpSocket holder;
    ASSERT_EQ(holder.Open(), 0);
    ASSERT_EQ(holder.Bind(0), 0);
    UdpResponder peer(kPeer, Always(Response(0, Binding(kOid, {0x41, 0x01, 0x01}))));
    Client client(peer.Port());
    client.timing().trap_port = holder.LocalPort();
    std::string value = "kept";
    EXPECT_TRUE(client.QueryValue(kOid, "quarno", kPeerText, value));
    EXPECT_EQ(value, "1");
    EXPECT_TRUE(client.trap_port_in_use());
    EXPECT_TRUE(client.QueryValue(kOid, "quarno", kPeerText, value));
    EXPECT_EQ(peer.Requests().size(), 2u);

    // A client told to leave the trap port to its caller never binds it, and has nothing to report.
    SnmpClient without(client.timing(), false);
    EXPECT_TRUE(without.QueryValue(kOid, "quarno", kPeerText, value));
    EXPECT_FALSE(without.trap_port_in_use());
}

TEST(SnmpClientCrafted, UnresolvableHostRaisesHostNotFound) {
    Client client(FreeUdpPort());
    std::string value = "kept";
    EXPECT_EQ(ExpectError([&] { client.QueryValue(kOid, "quarno", "printer..invalid", value); }),
              "Socket Error # 11001\r\nHost not found.");
    EXPECT_EQ(value, "kept");
    EXPECT_EQ(client.RequestPort(), 0) << "nothing is opened before the host is resolved";
}

TEST(SnmpClientCrafted, DatagramTooLongForUdpRaisesPackageSizeTooBig) {
    Client client(FreeUdpPort());
    std::string value;
    EXPECT_EQ(ExpectError([&] { client.QueryValue(kOid, std::string(70000, 'c'), kPeerText, value); }),
              "Package Size Too Big.");
}

} // namespace
} // namespace telva::test
