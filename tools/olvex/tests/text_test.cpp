// The tool's text rules: what hex and scripts it accepts, how it prints.
#include <gtest/gtest.h>

#include "text.h"

using namespace olvextool;

namespace {
std::vector<uint8_t> Hex(const std::string &s) {
    std::vector<uint8_t> out;
    std::string why;
    EXPECT_TRUE(ParseHex(s, 65532, &out, &why)) << s << ": " << why;
    return out;
}

bool Refused(const std::string &s, size_t max = 65532) {
    std::vector<uint8_t> out = {0x77};
    std::string why;
    const bool ok = ParseHex(s, max, &out, &why);
    EXPECT_EQ(out, std::vector<uint8_t>{0x77}) << "a refused parse leaves the output alone";
    return !ok && !why.empty();
}
}  // namespace

TEST(ParseHex, AcceptsEitherCaseAndBlanksBetweenDigits) {
    EXPECT_EQ(Hex("00A4 04 0f"), (std::vector<uint8_t>{0x00, 0xA4, 0x04, 0x0F}));
    EXPECT_EQ(Hex(" a b\tC d "), (std::vector<uint8_t>{0xAB, 0xCD}));
    EXPECT_TRUE(Hex("").empty());
}

TEST(ParseHex, RefusesOddCountsStrayCharactersAndExcessLength) {
    EXPECT_TRUE(Refused("abc"));
    EXPECT_TRUE(Refused("0g"));
    EXPECT_TRUE(Refused("0x00"));
    EXPECT_TRUE(Refused("00:11"));
    EXPECT_TRUE(Refused("000102", 2));
    std::vector<uint8_t> out;
    std::string why;
    EXPECT_TRUE(ParseHex(std::string(2 * 65532, 'f'), 65532, &out, &why));
    EXPECT_EQ(out.size(), 65532u);
    EXPECT_TRUE(Refused(std::string(2 * 65533, 'f')));
}

TEST(HexDump, RowsOfSixteenWithPrintableAsciiBeside) {
    std::vector<uint8_t> bytes;
    for (int i = 0; i < 17; ++i) bytes.push_back(uint8_t('A' + i));
    bytes[1] = 0x00;
    bytes[2] = 0x7F;
    const std::string dump = HexDump(bytes.data(), bytes.size());
    EXPECT_EQ(dump,
              "  0000  41 00 7f 44 45 46 47 48  49 4a 4b 4c 4d 4e 4f 50  A..DEFGHIJKLMNOP\n"
              "  0010  51                                                Q\n");
    EXPECT_EQ(HexDump(nullptr, 0), "");
}

TEST(JsonString, EscapesBackslashesQuotesAndControls) {
    EXPECT_EQ(JsonString("\\\\?\\usb#\"x\"\n"), "\"\\\\\\\\?\\\\usb#\\\"x\\\"\\u000a\"");
}

TEST(ParseCount, OnlyPlainNonNegativeDecimalsThatFitAnInt) {
    int v = -1;
    EXPECT_TRUE(ParseCount("0", &v));
    EXPECT_EQ(v, 0);
    EXPECT_TRUE(ParseCount("2147483647", &v));
    EXPECT_EQ(v, 2147483647);
    EXPECT_FALSE(ParseCount("2147483648", &v));
    EXPECT_FALSE(ParseCount("-1", &v));
    EXPECT_FALSE(ParseCount("1e3", &v));
    EXPECT_FALSE(ParseCount("", &v));
}

TEST(ParseScript, KeepsLineNumbersAcrossCommentsAndBlankLines) {
    std::vector<ScriptStep> steps;
    int bad = 0;
    std::string why;
    ASSERT_TRUE(ParseScript("# intro\n\n00 a4 => 9000  # select\n  80ca\r\n=> 6A82\n", &steps, &bad, &why)) << why;
    ASSERT_EQ(steps.size(), 3u);
    EXPECT_EQ(steps[0].line, 3);
    EXPECT_EQ(steps[0].payload, (std::vector<uint8_t>{0x00, 0xA4}));
    EXPECT_TRUE(steps[0].expectStatus);
    EXPECT_EQ(steps[0].status, 0x9000);
    EXPECT_EQ(steps[1].line, 4);
    EXPECT_FALSE(steps[1].expectStatus);
    EXPECT_EQ(steps[2].line, 5);
    EXPECT_TRUE(steps[2].payload.empty());
    EXPECT_EQ(steps[2].status, 0x6A82);
}

TEST(ParseScript, NamesTheLineOfABadCommandOrStatusWord) {
    std::vector<ScriptStep> steps;
    int bad = 0;
    std::string why;
    EXPECT_FALSE(ParseScript("00\n01 => 900\n", &steps, &bad, &why));
    EXPECT_EQ(bad, 2);
    EXPECT_FALSE(ParseScript("00\n# fine\n0z => 9000\n", &steps, &bad, &why));
    EXPECT_EQ(bad, 3);
    EXPECT_FALSE(ParseScript("00 => 9000 9000\n", &steps, &bad, &why));
    EXPECT_EQ(bad, 1);
}

TEST(Percentile, NearestRank) {
    std::vector<double> v;
    for (int i = 1; i <= 100; ++i) v.push_back(i);
    EXPECT_EQ(Percentile(v, 50), 50);
    EXPECT_EQ(Percentile(v, 99), 99);
    EXPECT_EQ(Percentile(v, 100), 100);
    EXPECT_EQ(Percentile({7}, 50), 7);
    EXPECT_EQ(Percentile({1, 2, 3}, 99), 3);
    EXPECT_EQ(Percentile({}, 50), 0);
}

