// The client against a scripted peer on loopback: what it sends, how it reads each kind of answer, and
// which failures raise which messages.

#include "refusal.h"
#include "snmp_answers.h"
#include "udp_responder.h"

#include "platform/sleep.h"
#include "snmp/snmp_client.h"
#include "snmp/snmp_error.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>

namespace telva::test {
namespace {

const platform::Ipv4Address kPeer = {127, 0, 0, 7};
const std::string kPeerText = "127.0.0.7";
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

TEST(SnmpClientCrafted, AnyAnswerCountsWhateverItsSenderIdOrCommunity) {
    const Bytes answer = Response(0, Binding(kOid, {0x41, 0x01, 0x2A}), "other", 0x77);
    UdpResponder peer(kPeer, [answer](const Bytes&, int) {
        return std::vector<ScriptedAnswer>{{answer, 0, true}};
    });
    Client client(peer.Port());
    std::string value;
    ASSERT_TRUE(client.QueryValue(kOid, "quarno", kPeerText, value));
    EXPECT_EQ(value, "42");
    EXPECT_EQ(client.reply().community, "other");
    EXPECT_EQ(client.reply().request_id, 0x77);
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

TEST(SnmpClientCrafted, LateAnswerIsReadByTheNextQuery) {
    // Every answer comes 600 ms after its request; the client waits 200 ms.
    UdpResponder peer(kPeer, [](const Bytes&, int number) {
        const std::string oid = number == 0 ? "1.3.6.1.9.1" : "1.3.6.1.9.2";
        return std::vector<ScriptedAnswer>{
            {Response(0, Binding(oid, {0x02, 0x01, static_cast<std::uint8_t>(number + 10)})), 600}};
    });
    Client client(peer.Port(), 200);
    std::string value = "kept";
    EXPECT_FALSE(client.QueryValue("1.3.6.1.9.1", "quarno", kPeerText, value));
    EXPECT_EQ(value, "kept");
    platform::SleepMilliseconds(800);
    // The first query's answer is waiting: the second query reads it at once and finds no binding of its own.
    EXPECT_TRUE(client.QueryValue("1.3.6.1.9.2", "quarno", kPeerText, value));
    EXPECT_EQ(value, "");
    EXPECT_EQ(FindBindingText(client.reply(), "1.3.6.1.9.1"), "10");
    platform::SleepMilliseconds(800);
    EXPECT_TRUE(client.QueryValue("1.3.6.1.9.1", "quarno", kPeerText, value));
    EXPECT_EQ(FindBindingText(client.reply(), "1.3.6.1.9.2"), "11");
    platform::SleepMilliseconds(100);
    EXPECT_EQ(peer.Requests().size(), 3u) << "one datagram per query";
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
