// Decoding of answer datagrams: value texts by tag, the seven header items, and answers that are cut short
// or whose lengths lie.

#include "snmp/ber_decode.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace telva {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Tlv(std::uint8_t tag, const Bytes& content) {
    Bytes out{tag};
    if (content.size() < 128) {
        out.push_back(static_cast<std::uint8_t>(content.size()));
    } else {
        out.push_back(0x82);
        out.push_back(static_cast<std::uint8_t>(content.size() >> 8));
        out.push_back(static_cast<std::uint8_t>(content.size()));
    }
    out.insert(out.end(), content.begin(), content.end());
    return out;
}

Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& part : parts) {
        out.insert(out.end(), part.begin(), part.end());
    }
    return out;
}

// A GetResponse (A2) with community "quarno" and the given bindings (each already a VarBind TLV).
Bytes Response(std::uint8_t error_status, const Bytes& bindings, std::uint8_t request_id = 0) {
    const Bytes pdu = Concat(
        {{0x02, 0x01, request_id}, {0x02, 0x01, error_status}, {0x02, 0x01, 0x00}, Tlv(0x30, bindings)});
    return Tlv(0x30, Concat({{0x02, 0x01, 0x00}, Tlv(0x04, {'q', 'u', 'a', 'r', 'n', 'o'}), Tlv(0xA2, pdu)}));
}

Bytes Binding(const Bytes& oid_content, const Bytes& value_tlv) {
    return Tlv(0x30, Concat({Tlv(0x06, oid_content), value_tlv}));
}

const Bytes kOid = {0x2B, 0x06, 0x01, 0x02, 0x01, 0x2B, 0x0A, 0x02, 0x01, 0x04, 0x01, 0x01};
const std::string kOidText = "1.3.6.1.2.1.43.10.2.1.4.1.1";

SnmpMessage Decode(const Bytes& datagram) {
    SnmpMessage reply;
    reply.datagram = datagram;
    DecodeMessage(reply);
    return reply;
}

std::string Text(const Bytes& value_tlv) {
    return BerValueText(value_tlv[0], value_tlv.data() + 2, value_tlv.size() - 2);
}

TEST(SnmpValueText, Integer) {
    EXPECT_EQ(Text({0x02, 0x01, 0xFE}), "-2");
    EXPECT_EQ(Text({0x02, 0x00}), "0");
    EXPECT_EQ(Text({0x02, 0x01, 0x7F}), "127");
    EXPECT_EQ(Text({0x02, 0x02, 0x00, 0xFF}), "255");
    EXPECT_EQ(Text({0x02, 0x04, 0x7F, 0xFF, 0xFF, 0xFF}), "2147483647");
    EXPECT_EQ(Text({0x02, 0x05, 0x00, 0x80, 0x00, 0x00, 0x00}), "-2147483648") << "only the last four bytes";
    EXPECT_EQ(Text({0x02, 0x06, 0x12, 0x34, 0x00, 0x00, 0x01, 0x00}), "256");
}

TEST(SnmpValueText, CounterGaugeTimeTicksAreUnsigned) {
    EXPECT_EQ(Text({0x41, 0x04, 0xFF, 0xFF, 0xFF, 0xFF}), "4294967295");
    EXPECT_EQ(Text({0x41, 0x05, 0x00, 0xFF, 0xFF, 0xFF, 0xFF}), "4294967295");
    EXPECT_EQ(Text({0x41, 0x01, 0x80}), "128");
    EXPECT_EQ(Text({0x41, 0x00}), "0");
    EXPECT_EQ(Text({0x42, 0x02, 0x80, 0x00}), "32768");
    EXPECT_EQ(Text({0x43, 0x03, 0x01, 0x00, 0x00}), "65536");
    EXPECT_EQ(Text({0x41, 0x08, 0x7F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}), "9223372036854775807");
    // Beyond 2^63 the 64-bit number is written as signed, and beyond 2^64 it wraps.
    EXPECT_EQ(Text({0x41, 0x08, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}), "-1");
    EXPECT_EQ(Text({0x41, 0x09, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x05}), "5");
}

TEST(SnmpValueText, Counter64IsAnUnsignedNumberOrNoReading) {
    EXPECT_EQ(Text({0x46, 0x02, 0x01, 0x41}), "321");
    EXPECT_EQ(Text({0x46, 0x03, 0x31, 0x32, 0x33}), "3224115") << "never the characters 123";
    EXPECT_EQ(Text({0x46, 0x00}), "0");
    EXPECT_EQ(Text({0x46, 0x05, 0x01, 0x00, 0x00, 0x00, 0x00}), "4294967296");
    EXPECT_EQ(Text({0x46, 0x09, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}),
              "18446744073709551615");
    EXPECT_EQ(Text({0x46, 0x09, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}), "")
        << "beyond 64 bits: no reading rather than a wrapped one";
}

TEST(SnmpValueText, OctetStringsAndOtherTagsAreLatin1Characters) {
    EXPECT_EQ(Text({0x04, 0x03, 0x31, 0x32, 0x33}), "123");
    EXPECT_EQ(Text({0x04, 0x00}), "");
    EXPECT_EQ(Text({0x04, 0x03, 0x41, 0xE9, 0xFF}), "A\xC3\xA9\xC3\xBF");
    EXPECT_EQ(Text({0x04, 0x02, 0x00, 0x31}), std::string("\0"
                                                          "1",
                                                          2));
    EXPECT_EQ(Text({0x44, 0x02, 0x68, 0x69}), "hi") << "Opaque";
    EXPECT_EQ(Text({0x80, 0x00}), "");
    EXPECT_EQ(Text({0x81, 0x01, 0x7A}), "z");
}

TEST(SnmpValueText, NullObjectIdAndIpAddress) {
    EXPECT_EQ(Text({0x05, 0x00}), "");
    EXPECT_EQ(Text({0x05, 0x01, 0x31}), "");
    EXPECT_EQ(Text({0x06, 0x03, 0x2B, 0x06, 0x01}), "1.3.6.1");
    EXPECT_EQ(Text({0x06, 0x01, 0x00}), "0.0");
    EXPECT_EQ(Text({0x06, 0x01, 0x27}), "0.39");
    EXPECT_EQ(Text({0x06, 0x01, 0x4F}), "1.39");
    EXPECT_EQ(Text({0x06, 0x02, 0x81, 0x34}), "2.100");
    EXPECT_EQ(Text({0x06, 0x04, 0x2B, 0x82, 0x37, 0x01}), "1.3.311.1");
    EXPECT_EQ(Text({0x06, 0x00}), "");
    EXPECT_EQ(Text({0x40, 0x04, 0xC0, 0xA8, 0x01, 0x0A}), "192.168.1.10");
    EXPECT_EQ(Text({0x40, 0x02, 0x0A, 0x00}), "10.0");
    EXPECT_EQ(Text({0x40, 0x00}), "");
}

TEST(SnmpValueText, ConstructedTagsGiveDollarAndHex) {
    EXPECT_EQ(Text({0x30, 0x00}), "$30");
    EXPECT_EQ(Text({0xA2, 0x00}), "$A2");
    EXPECT_EQ(Text({0x2F, 0x00}), "$2F");
}

TEST(SnmpDecode, ReadsTheHeaderItemsAndBindings) {
    const Bytes answer = Concat(
        {Response(0,
                  Concat({Binding(kOid, {0x41, 0x02, 0x30, 0x39}),
                          Binding({0x2B, 0x06, 0x01, 0x02, 0x01, 0x01, 0x01, 0x00}, {0x04, 0x02, 'o', 'k'})}),
                  0x07)});
    const SnmpMessage reply = Decode(answer);
    EXPECT_EQ(reply.version, 0);
    EXPECT_EQ(reply.community, "quarno");
    EXPECT_EQ(reply.request_id, 7);
    EXPECT_EQ(reply.error_status, 0);
    EXPECT_EQ(reply.error_index, 0);
    ASSERT_EQ(reply.bindings.size(), 2u);
    EXPECT_EQ(reply.bindings[0].oid, kOidText);
    EXPECT_EQ(reply.bindings[1].oid, "1.3.6.1.2.1.1.1.0");
    EXPECT_EQ(reply.bindings[0].value, (SnmpValue{"12345", 0x41}));
    EXPECT_EQ(reply.bindings[1].value, (SnmpValue{"ok", 0x04}));
    EXPECT_EQ(FindBindingText(reply, kOidText), "12345");
    EXPECT_EQ(FindBindingText(reply, "1.3.6.1.2.1.1.1"), "") << "names compare exactly";
}

TEST(SnmpDecode, ErrorStatusAndFirstMatchingBinding) {
    const SnmpMessage reply =
        Decode(Response(2, Concat({Binding(kOid, {0x02, 0x01, 0x01}), Binding(kOid, {0x02, 0x01, 0x02})})));
    EXPECT_EQ(reply.error_status, 2);
    EXPECT_EQ(FindBindingText(reply, kOidText), "1");
}

TEST(SnmpDecode, HeaderNumbersFromOtherTags) {
    // error-status given as an OCTET STRING "abc" is not a number: 0. A Counter beyond the 32-bit range
    // must not read as 0 (success).
    Bytes answer = Response(0, Binding(kOid, {0x05, 0x00}));
    const Bytes pdu_status_text = {0x04, 0x03, 'a', 'b', 'c'};
    const Bytes pdu = Concat(
        {{0x02, 0x01, 0x00}, pdu_status_text, {0x02, 0x01, 0x00}, Tlv(0x30, Binding(kOid, {0x05, 0x00}))});
    const Bytes text_status = Tlv(0x30, Concat({{0x02, 0x01, 0x00}, Tlv(0x04, {'c'}), Tlv(0xA2, pdu)}));
    EXPECT_EQ(Decode(text_status).error_status, 0);
    EXPECT_EQ(Decode(text_status).bindings.size(), 1u);

    const Bytes big = {0x41, 0x05, 0x01, 0x00, 0x00, 0x00, 0x00};
    const Bytes pdu_big =
        Concat({{0x02, 0x01, 0x00}, big, {0x02, 0x01, 0x00}, Tlv(0x30, Binding(kOid, {0x05, 0x00}))});
    const Bytes big_status = Tlv(0x30, Concat({{0x02, 0x01, 0x03}, Tlv(0x04, {'c'}), Tlv(0xA2, pdu_big)}));
    EXPECT_NE(Decode(big_status).error_status, 0);
    EXPECT_EQ(Decode(big_status).version, 3);
}

TEST(SnmpDecode, OuterLengthBeyondTheDatagramEndsAtTheFirstUnreadableItem) {
    Bytes answer = Response(0, Binding(kOid, {0x41, 0x01, 0x05}));
    answer[1] = 0x7F; // claims more than the datagram holds
    const SnmpMessage reply = Decode(answer);
    ASSERT_EQ(reply.bindings.size(), 1u);
    EXPECT_EQ(FindBindingText(reply, kOidText), "5");
}

TEST(SnmpDecode, OuterLengthLimitsTheBindings) {
    const Bytes second = Binding({0x2B, 0x06}, {0x02, 0x01, 0x09});
    Bytes answer = Concat({Response(0, Binding(kOid, {0x41, 0x01, 0x05})), second});
    const SnmpMessage reply = Decode(answer);
    ASSERT_EQ(reply.bindings.size(), 1u) << "bytes after the outer content are not read as bindings";

    answer[1] =
        static_cast<std::uint8_t>(answer[1] + 1); // the outer content now reaches into the extra binding
    const SnmpMessage longer = Decode(answer);
    ASSERT_EQ(longer.bindings.size(), 2u);
    EXPECT_EQ(FindBindingText(longer, "1.3.6"), "9");
}

TEST(SnmpDecode, LyingValueLengthDropsThatBinding) {
    Bytes answer = Response(
        0, Concat({Binding({0x2B, 0x06}, {0x02, 0x01, 0x01}), Binding(kOid, {0x41, 0x02, 0x30, 0x39})}));
    answer[answer.size() - 3] = 0x10; // the Counter's length now runs past the end
    const SnmpMessage reply = Decode(answer);
    ASSERT_EQ(reply.bindings.size(), 1u);
    EXPECT_EQ(reply.bindings[0].oid, "1.3.6");
    EXPECT_EQ(FindBindingText(reply, kOidText), "");
}

TEST(SnmpDecode, TruncatedDatagramsDecodeAsFarAsTheyGo) {
    const Bytes full = Response(5, Binding(kOid, {0x41, 0x02, 0x30, 0x39}), 0x09);
    for (std::size_t size = 0; size < full.size(); ++size) {
        SnmpMessage reply;
        DecodeMessage(full.data(), size, reply);
        EXPECT_TRUE(reply.bindings.empty()) << "size " << size;
        // The error-status item 02 01 05 ends at byte 21.
        EXPECT_EQ(reply.error_status, size >= 21 ? 5 : 0) << "size " << size;
    }
    EXPECT_EQ(Decode(full).bindings.size(), 1u);
}

TEST(SnmpDecode, LongFormLengths) {
    // Outer length in long form, and a value whose length is 82 00 03.
    const Bytes body = Concat(
        {{0x02, 0x01, 0x00},
         Tlv(0x04, {'q'}),
         Tlv(0xA2, Concat({{0x02, 0x01, 0x00, 0x02, 0x01, 0x00, 0x02, 0x01, 0x00},
                           Tlv(0x30, Tlv(0x30, Concat({Tlv(0x06, kOid),
                                                       {0x04, 0x82, 0x00, 0x03, 'a', 'b', 'c'}})))}))});
    Bytes answer = {0x30, 0x82, 0x00, static_cast<std::uint8_t>(body.size())};
    answer.insert(answer.end(), body.begin(), body.end());
    EXPECT_EQ(FindBindingText(Decode(answer), kOidText), "abc");

    // 0x80 (no length bytes) reads as length 0; a huge long form does not fit.
    EXPECT_EQ(Decode({0x30, 0x0B, 0x30, 0x80, 0x06, 0x01, 0x2B, 0x05, 0x00}).bindings.size(), 0u);
    const SnmpMessage huge =
        Decode({0x30, 0x88, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x02, 0x01, 0x01});
    EXPECT_EQ(huge.version, 1);
    const SnmpMessage huge_item =
        Decode({0x30, 0x0C, 0x02, 0x88, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x02, 0x01, 0x04});
    EXPECT_EQ(huge_item.version, 0);
    EXPECT_EQ(huge_item.community, "4") << "after an unreadable item reading goes on after its length bytes";
}

TEST(SnmpDecode, ConstructedValueIsReadAsTheItemsThatFollow) {
    // VarBind { name, SEQUENCE { 04 00 } }: the value is "$30"; its content starts the next binding.
    const Bytes bindings = Concat({Tlv(0x30, Concat({Tlv(0x06, kOid), Tlv(0x30, {0x04, 0x00})})),
                                   Tlv(0x06, {0x2B, 0x06}),
                                   {0x02, 0x01, 0x2A}});
    const SnmpMessage reply = Decode(Response(0, bindings));
    ASSERT_EQ(reply.bindings.size(), 2u);
    EXPECT_EQ(reply.bindings[0].value, (SnmpValue{"$30", 0x30}));
    EXPECT_EQ(reply.bindings[1].oid, "1.3.6");
    EXPECT_EQ(reply.bindings[1].value, (SnmpValue{"42", 0x02}));
}

TEST(SnmpDecode, ArbitraryBytesNeverReadOutside) {
    std::mt19937 random(20240601);
    const Bytes base = Response(
        0, Concat({Binding(kOid, {0x41, 0x02, 0x30, 0x39}), Binding(kOid, {0x06, 0x02, 0x2B, 0x86})}));
    for (int round = 0; round < 20000; ++round) {
        Bytes datagram = base;
        const int flips = 1 + static_cast<int>(random() % 4);
        for (int i = 0; i < flips; ++i) {
            datagram[random() % datagram.size()] = static_cast<std::uint8_t>(random());
        }
        datagram.resize(random() % (datagram.size() + 1));
        // Exact-size heap copy so that ASan sees any read past the end.
        std::vector<std::uint8_t> exact(datagram.begin(), datagram.end());
        SnmpMessage reply;
        DecodeMessage(exact.data(), exact.size(), reply);
        ASSERT_LE(reply.bindings.size(), exact.size() / 6 + 1);
    }
}

} // namespace
} // namespace telva
