#include "connection/frames.h"

#include <gtest/gtest.h>

#include <vector>

using namespace olvex;

namespace {

std::vector<uint8_t> Frame(int n) {
    std::vector<uint8_t> payload(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) payload[size_t(i)] = uint8_t(i * 7 + 1);
    std::vector<uint8_t> frame(static_cast<size_t>(CommandFrameSize(n)), 0xCC);
    BuildCommandFrame(payload.data(), n, frame.data());
    for (int i = 0; i < n; ++i) EXPECT_EQ(frame[size_t(3 + i)], payload[size_t(i)]) << i;
    return frame;
}

// A response buffer holding a header for data length L, data bytes 0,1,2,...
std::vector<uint8_t> Response(uint32_t length) {
    std::vector<uint8_t> b(RESPONSE_BUFFER_SIZE, 0);
    b[0] = FRAME_RESPONSE_LEAD;
    b[1] = uint8_t(length);
    b[2] = uint8_t(length >> 8);
    for (size_t i = 3; i < b.size(); ++i) b[i] = uint8_t(i * 13);
    return b;
}

}  // namespace

TEST(CommandFrame, HeaderCountsPayloadAloneLittleEndian) {
    EXPECT_EQ(Frame(0), (std::vector<uint8_t>{0xA5, 0x00, 0x00}));
    auto f300 = Frame(300);
    ASSERT_EQ(f300.size(), 303u);
    EXPECT_EQ(f300[0], 0xA5);
    EXPECT_EQ(f300[1], 0x2C);
    EXPECT_EQ(f300[2], 0x01);
    auto fmax = Frame(65532);
    ASSERT_EQ(fmax.size(), 65535u);
    EXPECT_EQ(fmax[1], 0xFC);
    EXPECT_EQ(fmax[2], 0xFF);
}

TEST(CommandFrame, LengthsOutsideSixteenBitFrameAreRefused) {
    EXPECT_EQ(CommandFrameSize(-1), -1);
    EXPECT_EQ(CommandFrameSize(65533), -1);
    EXPECT_EQ(CommandFrameSize(INT32_MIN), -1);
    EXPECT_EQ(CommandFrameSize(65532), 65535);
}

TEST(ResponseSizing, SecondReadOnlyFromDataLength254) {
    EXPECT_EQ(ResponseRemainder(Response(252).data()), 0u);
    EXPECT_EQ(ResponseRemainder(Response(253).data()), 0u);
    EXPECT_EQ(ResponseRemainder(Response(254).data()), 1u);
    EXPECT_EQ(ResponseRemainder(Response(255).data()), 2u);
    EXPECT_EQ(ResponseRemainder(Response(1000).data()), 747u);
    EXPECT_EQ(ResponseRemainder(Response(51197).data()), 50944u);
}

TEST(ResponseParsing, ShortestResponseHasEmptyBody) {
    const uint8_t r[] = {0x5A, 0x02, 0x00, 0x01, 0x02};
    ParsedResponse p{};
    ASSERT_TRUE(ParseResponse(r, 5, 0, &p));
    EXPECT_EQ(p.bodyLength, 0);
    EXPECT_EQ(p.statusWord, 258);
}

TEST(ResponseParsing, ShortFrameIsSizedByBytesReceivedNotHeader) {
    auto b = Response(10);
    ParsedResponse p{};
    ASSERT_TRUE(ParseResponse(b.data(), 9, 0, &p));  // header says 10, 9 arrived in all
    EXPECT_EQ(p.bodyLength, 4);
    EXPECT_EQ(p.statusWord, b[7] * 256 + b[8]);

    ASSERT_TRUE(ParseResponse(b.data(), 20, 0, &p));  // more than the header says
    EXPECT_EQ(p.bodyLength, 15);
}

TEST(ResponseParsing, BoundaryBetweenOneAndTwoReads) {
    auto b253 = Response(253);
    ParsedResponse p{};
    EXPECT_EQ(CheckFirstRead(b253.data(), 256), 0);
    ASSERT_TRUE(ParseResponse(b253.data(), 256, 0, &p));
    EXPECT_EQ(p.bodyLength, 251);
    EXPECT_EQ(p.statusWord, b253[254] * 256 + b253[255]);

    // The last short length stays short when the frame arrives cut: accepted,
    // sized by what came, never taken for a long frame awaiting more.
    EXPECT_EQ(CheckFirstRead(b253.data(), 100), 0);
    ASSERT_TRUE(ParseResponse(b253.data(), 100, 0, &p));
    EXPECT_EQ(p.bodyLength, 95);
    EXPECT_EQ(p.statusWord, b253[98] * 256 + b253[99]);

    auto b254 = Response(254);
    EXPECT_EQ(CheckFirstRead(b254.data(), 256), 1);
    EXPECT_EQ(CheckFirstRead(b254.data(), 255), RESPONSE_REFUSED);
    ASSERT_TRUE(ParseResponse(b254.data(), 256, 1, &p));
    EXPECT_EQ(p.bodyLength, 252);
    EXPECT_EQ(p.statusWord, b254[255] * 256 + b254[256]);

    auto b1000 = Response(1000);
    EXPECT_EQ(CheckFirstRead(b1000.data(), 256), 747);
    ASSERT_TRUE(ParseResponse(b1000.data(), 256, 747, &p));
    EXPECT_EQ(p.bodyLength, 998);
    EXPECT_EQ(p.statusWord, b1000[1001] * 256 + b1000[1002]);

    auto bmax = Response(51197);
    ASSERT_TRUE(ParseResponse(bmax.data(), 256, 50944, &p));
    EXPECT_EQ(p.bodyLength, 51195);
    EXPECT_EQ(p.statusWord, bmax[51198] * 256 + bmax[51199]);
}

// Only a refusal for length leaves a known rest owed: exactly the one further
// read the framing promises. Every other refused first read leaves nothing
// the library could trust the header about.
TEST(ResponseRefusal, OnlyAWholeFirstPartOfAnOverlongFrameLeavesItsRestOwed) {
    struct Case {
        const char *what;
        std::vector<uint8_t> first;
        uint32_t got, owed;
    };
    std::vector<uint8_t> wrongLead = Response(60000);
    wrongLead[0] = 0x5B;
    const Case cases[] = {
        {"one past the buffer", Response(51198), 256, 51198 - 253},
        {"the longest field", Response(0xFFFF), 256, 0xFFFF - 253},
        {"overlong, first part cut short", Response(60000), 255, 0},
        {"overlong, first read larger than asked", Response(60000), 257, 0},
        {"overlong behind a wrong lead byte", wrongLead, 256, 0},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(CheckFirstRead(c.first.data(), c.got), RESPONSE_REFUSED) << c.what;
        EXPECT_EQ(RefusedRemainder(c.first.data(), c.got), c.owed) << c.what;
    }
    // An accepted first read leaves nothing to discard, however long its frame.
    EXPECT_EQ(RefusedRemainder(Response(51197).data(), 256), 0u);
    EXPECT_EQ(RefusedRemainder(Response(1000).data(), 256), 0u);
}

TEST(ResponseParsing, StatusWordIsBigEndianAndSpansFullRange) {
    const uint8_t r[] = {0x5A, 0x04, 0x00, 0xAA, 0xBB, 0xFF, 0xFF};
    ParsedResponse p{};
    ASSERT_TRUE(ParseResponse(r, sizeof r, 0, &p));
    EXPECT_EQ(p.bodyLength, 2);
    EXPECT_EQ(p.statusWord, 65535);
    const uint8_t s[] = {0x5A, 0x02, 0x00, 0x90, 0x00};
    ASSERT_TRUE(ParseResponse(s, sizeof s, 0, &p));
    EXPECT_EQ(p.statusWord, 0x9000);
}

TEST(ResponseRefusal, ResponsesBuiltOfBytesNeverReceivedAreRefused) {
    ParsedResponse p{-7, -7};
    const uint8_t wrongLead[] = {0x5B, 0x02, 0x00, 0x01, 0x02};
    EXPECT_EQ(CheckFirstRead(wrongLead, 5), RESPONSE_REFUSED);
    EXPECT_FALSE(ParseResponse(wrongLead, 5, 0, &p));

    const uint8_t four[] = {0x5A, 0x02, 0x00, 0x01};
    for (uint32_t got = 0; got < 5; ++got) {
        EXPECT_EQ(CheckFirstRead(four, got), RESPONSE_REFUSED) << got;
        EXPECT_FALSE(ParseResponse(four, got, 0, &p)) << got;
    }

    auto b1000 = Response(1000);
    EXPECT_EQ(CheckFirstRead(b1000.data(), 255), RESPONSE_REFUSED);  // long frame, short first part
    EXPECT_FALSE(ParseResponse(b1000.data(), 256, 746, &p));        // short second part
    EXPECT_FALSE(ParseResponse(b1000.data(), 256, 748, &p));        // more than asked: not trusted either
    EXPECT_FALSE(ParseResponse(b1000.data(), 257, 747, &p));        // first read larger than asked

    auto tooLong = Response(51198);
    EXPECT_EQ(CheckFirstRead(tooLong.data(), 256), RESPONSE_REFUSED);
    auto huge = Response(0xFFFF);
    EXPECT_FALSE(ParseResponse(huge.data(), 256, 0xFFFF - 253, &p));

    EXPECT_EQ(p.bodyLength, -7);  // refusals leave the result alone
    EXPECT_EQ(p.statusWord, -7);
}

// What a drain after a dead holder must still read: a long frame until its
// last byte, even an overlong one the exchange would refuse; nothing after a
// short frame, a frame's rest, or bytes that are no response at all.
TEST(OwedFrame, LongFramesAreOwedToTheirLastByteAndNothingElseIs) {
    struct Case {
        const char *what;
        std::vector<uint8_t> read;
        uint32_t got, toCome;
    };
    std::vector<uint8_t> rest = Response(60000);
    rest[0] = 0x17;  // the second part of a frame read by the dead holder
    const Case cases[] = {
        {"nothing came", Response(1000), 0, 0},
        {"header cut short", Response(1000), 2, 0},
        {"a short frame whole", Response(10), 13, 0},
        {"a short frame shorter than its header", Response(10), 9, 0},
        {"the largest short frame", Response(253), 256, 0},
        {"the shortest long frame, first part", Response(254), 256, 1},
        {"a long frame, first part", Response(1000), 256, 747},
        {"a long frame, first part and some", Response(1000), 600, 403},
        {"a long frame whole at once", Response(1000), 1003, 0},
        {"an overlong frame, first part", Response(60000), 256, 59747},
        {"the longest field, first part", Response(0xFFFF), 256, 0xFFFF - 253},
        {"the rest of a frame", rest, 256, 0},
    };
    for (const Case &c : cases) EXPECT_EQ(StillToCome(c.read.data(), c.got), c.toCome) << c.what;
}
