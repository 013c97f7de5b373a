// The trace file's records and replay's bookkeeping, natively.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "format.h"
#include "replay_book.h"

using namespace olvextrace;

namespace {

const char kPath[] = "\\\\?\\usb#vid_1234&pid_5678#a#{925fad44-e331-4116-b409-78fc2b51ea21}";

// A DoCommand record for `payload` answered `body` + 9000 (or failed with
// `error` when `result` is -1), its frames owned by the Frames it returns.
struct Frames {
    std::vector<uint8_t> command, response;
};
Record Command(Frames *f, std::vector<uint8_t> payload, std::vector<uint8_t> body, int result = 0x9000,
               uint32_t error = 0) {
    f->command.assign(payload.size() + 3, 0);
    BuildCommandFrame(payload.data(), int(payload.size()), f->command.data());
    f->response = {0x5A, uint8_t(body.size() + 2), 0};
    f->response.insert(f->response.end(), body.begin(), body.end());
    f->response.insert(f->response.end(), {0x90, 0x00});
    Record r;
    r.call = Call::DoCommand;
    r.result = result;
    r.error = error;
    r.processId = 77;
    r.threadId = 78;
    r.durationUs = 1234;
    r.argument = int(payload.size());
    r.timeUs = 1714568645123456ULL;  // 2024-05-01T13:04:05.123456Z
    r.path = kPath;
    r.pathLength = uint16_t(sizeof kPath - 1);
    r.command = f->command.data();
    r.commandLength = r.commandKept = uint32_t(f->command.size());
    r.response = f->response.data();
    r.responseLength = r.responseKept = uint32_t(f->response.size());
    return r;
}

std::vector<uint8_t> File(const std::vector<Record> &records) {
    std::vector<uint8_t> file(kFileHeaderSize);
    EncodeFileHeader(file.data());
    for (const Record &r : records) {
        const size_t at = file.size();
        file.resize(at + EncodedSize(r));
        Encode(r, file.data() + at);
    }
    return file;
}

std::vector<Record> Read(const std::vector<uint8_t> &file, int *bad, std::string *why) {
    std::vector<Record> out;
    ForEachRecord(
        file.data(), file.size(),
        [&](const Record &r, int number) {
            EXPECT_EQ(number, int(out.size()) + 1);
            out.push_back(r);
            return true;
        },
        bad, why);
    return out;
}

TEST(TraceRecord, EveryFieldAndFrameSurvivesTheFile) {
    Frames a, b;
    Record first = Command(&a, {0x00, 0xA4, 0x04, 0x00, 0x07}, {1, 2, 3});
    first.connection = 0x1122334455667788ULL;
    first.flags = kArgumentsRefused;
    const Record second = Command(&b, {}, {}, -1, 13);
    int bad;
    std::string why;
    const std::vector<uint8_t> file = File({first, second});
    const std::vector<Record> back = Read(file, &bad, &why);
    ASSERT_EQ(bad, -1) << why;
    ASSERT_EQ(back.size(), 2u);
    for (size_t i = 0; i < 2; ++i) {
        const Record &w = i ? second : first, &r = back[i];
        EXPECT_EQ(r.call, w.call);
        EXPECT_EQ(r.flags, w.flags);
        EXPECT_EQ(r.result, w.result);
        EXPECT_EQ(r.error, w.error);
        EXPECT_EQ(r.timeUs, w.timeUs);
        EXPECT_EQ(r.connection, w.connection);
        EXPECT_EQ(std::string(r.path, r.pathLength), kPath);
        EXPECT_EQ(std::vector<uint8_t>(r.command, r.command + r.commandKept), i ? b.command : a.command);
        EXPECT_EQ(std::vector<uint8_t>(r.response, r.response + r.responseKept), i ? b.response : a.response);
    }
}

TEST(TraceRecord, ACutOrInconsistentRecordIsNamedByItsNumber) {
    Frames f;
    const Record r = Command(&f, {1, 2, 3, 4, 5, 6}, {9});
    const std::vector<uint8_t> whole = File({r, r});
    int bad;
    std::string why;
    // Every cut inside the second record, its packet header included.
    for (size_t cut = whole.size() - EncodedSize(r) + 1; cut < whole.size(); ++cut) {
        std::vector<uint8_t> file(whole.begin(), whole.begin() + long(cut));
        EXPECT_EQ(Read(file, &bad, &why).size(), 1u);
        EXPECT_EQ(bad, 2) << "cut at " << cut;
    }
    // Fields that contradict the record's size, or name no call.
    const size_t header = kFileHeaderSize + kPacketHeaderSize;
    for (size_t offset : {header + 1, header + 6, header + 44, header + 52, kFileHeaderSize + 8}) {
        std::vector<uint8_t> file = whole;
        file[offset] ^= 0x40;
        EXPECT_TRUE(Read(file, &bad, &why).empty());
        EXPECT_EQ(bad, 1) << "byte " << offset << " changed";
    }
    std::vector<uint8_t> otherLink = whole;
    otherLink[20] = 1;  // Ethernet
    Read(otherLink, &bad, &why);
    EXPECT_EQ(bad, 0);
    Read(std::vector<uint8_t>(whole.begin(), whole.begin() + 10), &bad, &why);
    EXPECT_EQ(bad, 0);
}

TEST(TraceRecord, RedactionKeepsLengthsStatusAndTheCommandsFirstFourBytes) {
    Frames f;
    Record r = Command(&f, {0x00, 0x20, 0x00, 0x81, 0x31, 0x32, 0x33, 0x34}, {0xAA, 0xBB});
    Redact(&r);
    EXPECT_TRUE(r.flags & kRedacted);
    EXPECT_EQ(r.commandKept, 7u);
    EXPECT_EQ(r.commandLength, 11u);
    EXPECT_EQ(r.responseKept, 3u);
    EXPECT_EQ(r.responseLength, 7u);
    EXPECT_EQ(Describe(r, 1, false),
              "2024-05-01T13:04:05.123456Z 77:78 DoCommand key=" + std::string(kPath) +
                  " status=9000 error=0 1.234ms cmd=a5080000200081...(11 bytes) rsp=5a0400...(7 bytes) redacted");
}

TEST(TraceRecord, DescribeGivesEachCallsFactsAsTextAndJson) {
    Frames f;
    const Record failed = Command(&f, {0x01}, {}, -1, 13);
    EXPECT_EQ(Describe(failed, 4, false), "2024-05-01T13:04:05.123456Z 77:78 DoCommand key=" + std::string(kPath) +
                                              " result=-1 error=13 1.234ms cmd=a5010001 rsp=5a02009000");
    Record listing;
    listing.call = Call::EnumDev;
    listing.argument = 3;
    EXPECT_EQ(Describe(listing, 1, false), "1970-01-01T00:00:00.000000Z 0:0 EnumDEV count=3 result=0 error=0 0.000ms");
    EXPECT_EQ(Describe(listing, 1, true),
              "{\"record\": 1, \"time\": \"1970-01-01T00:00:00.000000Z\", \"pid\": 0, \"tid\": 0, \"call\": "
              "\"EnumDEV\", \"count\": 3, \"key\": \"\", \"result\": 0, \"error\": 0, \"duration_us\": 0, "
              "\"redacted\": false}");
    const std::string json = Describe(failed, 4, true);
    EXPECT_NE(json.find("\"key\": \"\\\\\\\\?\\\\usb#"), std::string::npos) << json;
    EXPECT_NE(json.find("\"command\": \"a5010001\", \"command_length\": 4"), std::string::npos) << json;
}

TEST(TraceName, PercentPBecomesTheProcessIdAndOverflowIsRefused) {
    wchar_t out[32];
    ASSERT_TRUE(ExpandTraceName(L"t-%p-%p.pcap", 4242, out, 32));
    EXPECT_EQ(std::wstring(out), L"t-4242-4242.pcap");
    EXPECT_FALSE(ExpandTraceName(L"0123456789-%p", 4242, out, 15));
    EXPECT_TRUE(ExpandTraceName(L"0123456789-%p", 4242, out, 16));
}

// The scenarios replay shares with the tracer's tests under Wine: per key in
// recorded order, divergences refused with 13 and named, failures as recorded.
TEST(ReplayBook, AnswersEachKeyInRecordedOrderAndRefusesADivergence) {
    const char other[] = "\\\\?\\usb#other";
    Frames f1, f2, f3, f4, f5;
    std::vector<Record> records = {Command(&f1, {1}, {0x11}), Command(&f2, {2}, {0x22}),
                                   Command(&f3, {3}, {}, -1, 13), Command(&f4, {4}, {}), Command(&f5, {5}, {})};
    records[1].path = other;  // record 2 is another key's
    records[1].pathLength = sizeof other - 1;
    records[3].flags = kArgumentsRefused;  // record 4 never reached the key
    records[4].flags = kRedacted;
    ReplayBook book;
    for (size_t i = 0; i < records.size(); ++i) book.Add(records[i], int(i) + 1);
    const std::string key = kPath;

    ReplayBook::Answer a = book.DoCommand(key, f3.command.data(), uint32_t(f3.command.size()));
    EXPECT_EQ(a.result, -1);
    EXPECT_EQ(a.error, kErrorInvalidData);
    EXPECT_EQ(a.divergence, "record 1, key " + key + ": expected a5010001, got a5010003");

    a = book.DoCommand(key, f1.command.data(), uint32_t(f1.command.size()));  // still next
    EXPECT_EQ(a.result, 0x9000);
    EXPECT_EQ(std::vector<uint8_t>(a.body, a.body + a.bodyLength), std::vector<uint8_t>{0x11});
    EXPECT_EQ(a.durationUs, 1234u);
    a = book.DoCommand(other, f2.command.data(), uint32_t(f2.command.size()));
    EXPECT_EQ(a.result, 0x9000);
    a = book.DoCommand(key, f3.command.data(), uint32_t(f3.command.size()));
    EXPECT_EQ(a.result, -1);
    EXPECT_EQ(a.error, 13u);
    EXPECT_EQ(a.divergence, "");
    a = book.DoCommand(key, f5.command.data(), uint32_t(f5.command.size()));
    EXPECT_EQ(a.divergence, "record 5, key " + key + ": recorded redacted, so it cannot be replayed");
    a = book.DoCommand(other, f2.command.data(), uint32_t(f2.command.size()));
    EXPECT_EQ(a.divergence, "key " + std::string(other) + ": expected no command (all 1 recorded for it are used), "
                                                          "got a5010002");
}

TEST(ReplayBook, ListingsAndOpeningsComeAsRecordedThenTheLastAgain) {
    Record listing, opening, failed;
    listing.call = Call::EnumDev;
    listing.argument = 2;
    opening.call = Call::Connect;
    opening.argument = 1;
    opening.path = kPath;
    opening.pathLength = sizeof kPath - 1;
    failed = opening;
    failed.result = 0x10001;
    failed.error = 2;
    failed.pathLength = 0;
    ReplayBook book;
    book.Add(listing, 1);
    listing.argument = 1;
    book.Add(listing, 2);
    book.Add(opening, 3);
    book.Add(failed, 4);
    EXPECT_EQ(book.EnumDev().count, 2);
    EXPECT_EQ(book.EnumDev().count, 1);
    EXPECT_EQ(book.EnumDev().count, 1);
    EXPECT_EQ(book.Connect(1).path, kPath);
    EXPECT_EQ(book.Connect(1).error, 2u);
    EXPECT_EQ(book.Connect(1).result, 0x10001);
    EXPECT_EQ(book.Connect(0).result, -1);
    EXPECT_EQ(book.Connect(0).error, kErrorInvalidParameter);
}

}  // namespace
