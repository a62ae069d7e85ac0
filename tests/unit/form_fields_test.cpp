#include "server/form_fields.h"

#include "support/fake_clock.h"

#include <gtest/gtest.h>

namespace telva {
namespace {

using test::WorkedExampleMoment;

const std::string kPartHead =
    "Content-Type: text/plain\r\nContent-Transfer-Encoding: quoted-printable\r\n\r\n";

std::string Part(const std::string& boundary, const std::string& name, const std::string& data) {
    return "--" + boundary + "\r\nContent-Disposition: form-data; name=\"" + name + "\"\r\n" + kPartHead +
           data;
}

TEST(FormBoundary, EightHyphensAndFifteenClockDigits) {
    EXPECT_EQ(FormFields(WorkedExampleMoment()).boundary(), "--------030524140709045");
    EXPECT_EQ(MakeBoundary({1999, 12, 31, 23, 59, 58, 7}), "--------123199235958007");
    EXPECT_EQ(MakeBoundary({2100, 1, 2, 3, 4, 5, 999}), "--------010200030405999");
}

TEST(FormBody, WorkedExampleIs187Bytes) {
    FormFields form(WorkedExampleMoment());
    form.AddField("data[number]", "123");
    const std::string expected = "----------030524140709045\r\n"
                                 "Content-Disposition: form-data; name=\"data[number]\"\r\n"
                                 "Content-Type: text/plain\r\n"
                                 "Content-Transfer-Encoding: quoted-printable\r\n"
                                 "\r\n"
                                 "123\r\n"
                                 "----------030524140709045--\r\n";
    EXPECT_EQ(form.Body(), expected);
    EXPECT_EQ(form.BodyLength(), 187u);
}

TEST(FormBody, EmptyFormHasNoBytesAtAll) {
    FormFields form(WorkedExampleMoment());
    EXPECT_EQ(form.Body(), "");
    EXPECT_EQ(form.BodyLength(), 0u);
}

TEST(FormBody, EmptyValueIsOneEmptyLine) {
    FormFields form(WorkedExampleMoment());
    form.AddField("data[number]", "");
    const std::string b = form.boundary();
    EXPECT_EQ(form.Body(), Part(b, "data[number]", "\r\n") + "--" + b + "--\r\n");
    EXPECT_EQ(form.BodyLength(), form.Body().size());
}

TEST(FormBody, FieldsInOrderWithValuesQuotedPrintableInLatin1) {
    FormFields form(WorkedExampleMoment());
    form.AddField("data[items][0][lco]", ".5");
    form.AddField("data[items][0][id]", "S\xC3\xA3o");      // "São": ã is U+00E3
    form.AddField("data[items][0][x]", "5 \xE2\x82\xAC");   // "5 €": the euro sign is above U+00FF
    form.AddField("data[items][0][y]", "\xF0\x9F\x98\x80"); // outside the BMP: two "?"
    const std::string b = form.boundary();
    EXPECT_EQ(form.Body(), Part(b, "data[items][0][lco]", "=2E5\r\n") +
                               Part(b, "data[items][0][id]", "S=E3o\r\n") +
                               Part(b, "data[items][0][x]", "5 ?\r\n") +
                               Part(b, "data[items][0][y]", "??\r\n") + "--" + b + "--\r\n");
    EXPECT_EQ(form.BodyLength(), form.Body().size());
}

TEST(FormBody, SendingTwiceGivesTheSameBytes) {
    FormFields form(WorkedExampleMoment());
    form.AddField("data[number]", "77");
    form.AddField("data[count]", "1");
    const std::string first = form.Body();
    EXPECT_EQ(form.Body(), first);
    EXPECT_EQ(form.BodyLength(), first.size());
    EXPECT_EQ(form.size(), 2u);
}

TEST(FormBody, WrittenPiecesAreTheBodyAndFieldsReadBackAsAdded) {
    FormFields form(WorkedExampleMoment());
    form.AddField("data[items][0][lco]", "");
    form.AddField("data[items][0][cid]", "S\xC3\xA3o\r\n.x");
    form.AddField("data[count]", std::string(200, '='));
    form.AddField("", "no name");
    ASSERT_EQ(form.size(), 4u);
    EXPECT_EQ(form.name(0), "data[items][0][lco]");
    EXPECT_EQ(form.value(0), "");
    EXPECT_EQ(form.name(1), "data[items][0][cid]");
    EXPECT_EQ(form.value(1), "S\xC3\xA3o\r\n.x");
    EXPECT_EQ(form.value(2), std::string(200, '='));
    EXPECT_EQ(form.name(3), "");
    EXPECT_EQ(form.value(3), "no name");
    std::string written;
    int pieces = 0;
    form.WriteBody([&](std::string_view piece) {
        written.append(piece);
        ++pieces;
    });
    EXPECT_EQ(written, form.Body());
    EXPECT_EQ(pieces, 5); // one per field and the closing delimiter
    EXPECT_EQ(form.BodyLength(), written.size());
}

} // namespace
} // namespace telva
