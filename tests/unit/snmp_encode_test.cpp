// Byte-exact tests of the GetRequest datagram.

#include "snmp/ber_encode.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace telva {
namespace {

using Bytes = std::vector<std::uint8_t>;

SnmpMessage GetRequest(const std::string& community, const std::string& oid) {
    SnmpMessage query;
    query.community = community;
    query.pdu_type = kPduGetRequest;
    AddBinding(query, oid, "", kTagOctetString);
    return query;
}

TEST(SnmpEncode, WorkedExampleIsFortyFourBytes) {
    const Bytes expected = {0x30, 0x2A, 0x02, 0x01, 0x00, 0x04, 0x06, 'q',  'u',  'a',  'r',
                            'n',  'o',  0xA0, 0x1D, 0x02, 0x01, 0x00, 0x02, 0x01, 0x00, 0x02,
                            0x01, 0x00, 0x30, 0x12, 0x30, 0x10, 0x06, 0x0C, 0x2B, 0x06, 0x01,
                            0x02, 0x01, 0x2B, 0x0A, 0x02, 0x01, 0x04, 0x01, 0x01, 0x04, 0x00};
    const Bytes datagram = EncodeMessage(GetRequest("quarno", "1.3.6.1.2.1.43.10.2.1.4.1.1"));
    EXPECT_EQ(datagram.size(), 44u);
    EXPECT_EQ(datagram, expected);
}

TEST(SnmpEncode, CommunityIsOneBytePerCharacter) {
    // U+00E9 is the byte E9; U+20AC (above U+00FF) becomes '?'.
    const Bytes datagram = EncodeMessage(GetRequest("\xC3\xA9\xE2\x82\xAC", "1.3"));
    const Bytes expected_prefix = {0x30, 0x1B, 0x02, 0x01, 0x00, 0x04, 0x02, 0xE9, 0x3F};
    ASSERT_GE(datagram.size(), expected_prefix.size());
    EXPECT_EQ(Bytes(datagram.begin(), datagram.begin() + 9), expected_prefix);
}

TEST(SnmpEncode, LengthForms) {
    const auto length = [](std::size_t value) {
        Bytes out;
        AppendBerLength(out, value);
        return out;
    };
    EXPECT_EQ(length(0), Bytes({0x00}));
    EXPECT_EQ(length(127), Bytes({0x7F}));
    EXPECT_EQ(length(128), Bytes({0x81, 0x80}));
    EXPECT_EQ(length(200), Bytes({0x81, 0xC8}));
    EXPECT_EQ(length(255), Bytes({0x81, 0xFF}));
    EXPECT_EQ(length(256), Bytes({0x82, 0x01, 0x00}));
    EXPECT_EQ(length(300), Bytes({0x82, 0x01, 0x2C}));
    EXPECT_EQ(length(70000), Bytes({0x83, 0x01, 0x11, 0x70}));
}

TEST(SnmpEncode, LongCommunityUsesLongLengthForms) {
    const std::string community(200, 'c');
    const Bytes datagram = EncodeMessage(GetRequest(community, "1.3.6.1"));
    // Community 04 81 C8 and 200 bytes; the PDU (A0 14, 20 content bytes) keeps the short form.
    // Message content: 3 + 203 + 22 = 228 -> 30 81 E4.
    ASSERT_EQ(datagram.size(), 231u);
    EXPECT_EQ(Bytes(datagram.begin(), datagram.begin() + 9),
              Bytes({0x30, 0x81, 0xE4, 0x02, 0x01, 0x00, 0x04, 0x81, 0xC8}));
    EXPECT_EQ(Bytes(datagram.begin() + 209, datagram.end()),
              Bytes({0xA0, 0x14, 0x02, 0x01, 0x00, 0x02, 0x01, 0x00, 0x02, 0x01, 0x00,
                     0x30, 0x09, 0x30, 0x07, 0x06, 0x03, 0x2B, 0x06, 0x01, 0x04, 0x00}));
}

TEST(SnmpEncode, LongIdentifierUsesLongLengthFormsInEveryEnclosingElement) {
    // 1.3 then 130 arcs of 1: OID content 131 bytes.
    std::string oid = "1.3";
    for (int i = 0; i < 130; ++i) {
        oid += ".1";
    }
    const Bytes datagram = EncodeMessage(GetRequest("quarno", oid));
    // name 06 81 83 (134 bytes), value 04 00, VarBind 30 81 88 (136 content), bindings 30 81 8B (139),
    // PDU A0 81 97 (9 + 142 = 151), message 30 81 A5 (3 + 8 + 154 = 165).
    ASSERT_EQ(datagram.size(), 168u);
    EXPECT_EQ(Bytes(datagram.begin(), datagram.begin() + 3), Bytes({0x30, 0x81, 0xA5}));
    EXPECT_EQ(Bytes(datagram.begin() + 14, datagram.begin() + 17), Bytes({0xA0, 0x81, 0x97}));
    EXPECT_EQ(Bytes(datagram.begin() + 26, datagram.begin() + 29), Bytes({0x30, 0x81, 0x8B}));
    EXPECT_EQ(Bytes(datagram.begin() + 29, datagram.begin() + 32), Bytes({0x30, 0x81, 0x88}));
    EXPECT_EQ(Bytes(datagram.begin() + 32, datagram.begin() + 36), Bytes({0x06, 0x81, 0x83, 0x2B}));
}

TEST(SnmpEncode, RequestIdErrorStatusAndErrorIndexAreZeroBytes) {
    const Bytes datagram = EncodeMessage(GetRequest("public", "1.3.6.1.2.1.1.1.0"));
    // After 30 len 02 01 00 04 06 "public" A0 len.
    const Bytes header(datagram.begin() + 15, datagram.begin() + 24);
    EXPECT_EQ(header, Bytes({0x02, 0x01, 0x00, 0x02, 0x01, 0x00, 0x02, 0x01, 0x00}));
    EXPECT_EQ(datagram[13], 0xA0);
    EXPECT_EQ(Bytes(datagram.end() - 2, datagram.end()), Bytes({0x04, 0x00}));
}

TEST(SnmpEncode, IdentifierTextRules) {
    EXPECT_EQ(EncodeOidContent("1.3.6.1.4.1.311.1"), Bytes({0x2B, 0x06, 0x01, 0x04, 0x01, 0x82, 0x37, 0x01}));
    EXPECT_EQ(EncodeOidContent("1.3.128"), Bytes({0x2B, 0x81, 0x00}));
    EXPECT_EQ(EncodeOidContent("1.3.16383.16384"), Bytes({0x2B, 0xFF, 0x7F, 0x81, 0x80, 0x00}));
    EXPECT_EQ(EncodeOidContent("1.3.4294967295"), Bytes({0x2B, 0x00}))
        << "out of 32-bit signed range counts 0";
    EXPECT_EQ(EncodeOidContent("1.3.2147483647"), Bytes({0x2B, 0x87, 0xFF, 0xFF, 0xFF, 0x7F}));
    EXPECT_EQ(EncodeOidContent("1.3.-1"), Bytes({0x2B, 0x8F, 0xFF, 0xFF, 0xFF, 0x7F}));
    EXPECT_EQ(EncodeOidContent("2.100.3"), Bytes({0x81, 0x34, 0x03})) << "first subidentifier 180";
    EXPECT_EQ(EncodeOidContent("1.3.6."), Bytes({0x2B, 0x06})) << "a final dot adds no arc";
    EXPECT_EQ(EncodeOidContent("1.3..6"), Bytes({0x2B, 0x00, 0x06})) << "an empty piece is 0";
    EXPECT_EQ(EncodeOidContent(".1.3"), Bytes({0x01, 0x03})) << "a leading dot makes a = 0";
    EXPECT_EQ(EncodeOidContent(""), Bytes({0x00}));
    EXPECT_EQ(EncodeOidContent("1"), Bytes({0x28}));
    EXPECT_EQ(EncodeOidContent(" 1 .\t3. 6\n"), Bytes({0x2B, 0x06})) << "blanks around pieces are removed";
    EXPECT_EQ(EncodeOidContent("1.3.x.0x10.+7.1e2"), Bytes({0x2B, 0x00, 0x00, 0x07, 0x00}));
}

TEST(SnmpEncode, OtherFieldsAreEncodedFromTheMessage) {
    SnmpMessage message;
    message.community = "c";
    message.version = 1;
    message.pdu_type = 0xA2;
    message.request_id = -129;
    message.error_status = 2;
    message.error_index = 128;
    AddBinding(message, "1.3", "ab", kTagOctetString);
    const Bytes expected = {0x30, 0x1E, 0x02, 0x01, 0x01, 0x04, 0x01, 'c',  0xA2, 0x16, 0x02,
                            0x02, 0xFF, 0x7F, 0x02, 0x01, 0x02, 0x02, 0x02, 0x00, 0x80, 0x30,
                            0x09, 0x30, 0x07, 0x06, 0x01, 0x2B, 0x04, 0x02, 'a',  'b'};
    EXPECT_EQ(EncodeMessage(message), expected);
}

} // namespace
} // namespace telva
