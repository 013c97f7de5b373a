// The trace file's records, replay's bookkeeping and `olvex trace show`, natively.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "format.h"
#include "replay_book.h"
#include "trace.h"

using namespace olvextrace;
using olvextool::Describe;

namespace {

const std::string kPath = "\\\\?\\usb#vid_1234&pid_5678#a#{925fad44-e331-4116-b409-78fc2b51ea21}";
using Bytes = std::vector<uint8_t>;

// A DoCommand record of `payload` answered `body` + 9000; `frames` owns its bytes.
Record Command(std::vector<Bytes> *frames, Bytes payload, Bytes body, int result = 0x9000, uint32_t error = 0) {
    frames->emplace_back(payload.size() + 3);
    BuildCommandFrame(payload.data(), int(payload.size()), frames->back().data());
    Bytes response = {0x5A, uint8_t(body.size() + 2), 0};
    response.insert(response.end(), body.begin(), body.end());
    response.insert(response.end(), {0x90, 0x00});
    frames->push_back(response);
    Record r;
    r.call = Call::DoCommand;
    r.result = result;
    r.error = error;
    r.processId = 77;
    r.threadId = 78;
    r.durationUs = 1234;
    r.timeUs = 1714568645123456ULL;  // 2024-05-01T13:04:05.123456Z
    r.path = kPath.data();
    r.pathLength = uint16_t(kPath.size());
    r.command = (*frames)[frames->size() - 2].data();
    r.commandLength = r.commandKept = uint32_t(payload.size() + 3);
    r.response = frames->back().data();
    r.responseLength = r.responseKept = uint32_t(response.size());
    return r;
}

Bytes File(const std::vector<Record> &records) {
    Bytes file(kFileHeaderSize);
    EncodeFileHeader(file.data());
    for (const Record &r : records) {
        file.resize(file.size() + EncodedSize(r));
        Encode(r, file.data() + file.size() - EncodedSize(r));
    }
    return file;
}

std::vector<Record> Read(const Bytes &file, int *bad) {
    std::vector<Record> out;
    std::string why;
    ForEachRecord(file.data(), file.size(), [&](const Record &r, int) { return out.push_back(r), true; }, bad, &why);
    return out;
}

TEST(TraceRecord, ACutOrInconsistentRecordIsNamedByItsNumber) {
    std::vector<Bytes> frames;
    const Record r = Command(&frames, {1, 2, 3, 4, 5, 6}, {9});
    const Bytes whole = File({r, r});
    int bad;
    for (size_t cut = whole.size() - EncodedSize(r) + 1; cut < whole.size(); ++cut) {
        EXPECT_EQ(Read(Bytes(whole.begin(), whole.begin() + long(cut)), &bad).size(), 1u);
        EXPECT_EQ(bad, 2) << "cut at " << cut;
    }
    // The call, the path and kept lengths, and the packet's two lengths.
    const size_t header = kFileHeaderSize + kPacketHeaderSize;
    for (size_t offset : {header + 1, header + 6, header + 44, header + 52, kFileHeaderSize + 8}) {
        Bytes file = whole;
        file[offset] ^= 0x40;
        EXPECT_TRUE(Read(file, &bad).empty());
        EXPECT_EQ(bad, 1) << "byte " << offset << " changed";
    }
    Bytes otherLink = whole;
    otherLink[20] = 1;  // Ethernet
    Read(otherLink, &bad);
    EXPECT_EQ(bad, 0);
    Read(Bytes(whole.begin(), whole.begin() + 10), &bad);
    EXPECT_EQ(bad, 0);
}

TEST(TraceRecord, ReadBackAndShownWithEveryFactOrRedactedToTheCommandsFirstFourBytes) {
    std::vector<Bytes> frames;
    Record r = Command(&frames, {0x00, 0x20, 0x00, 0x81, 0x31, 0x32, 0x33, 0x34}, {0xAA, 0xBB});
    int bad;
    const Bytes file = File({r});
    const std::string start = "2024-05-01T13:04:05.123456Z 77:78 DoCommand key=" + kPath;
    EXPECT_EQ(Describe(Read(file, &bad).at(0), 1, false),
              start + " status=9000 error=0 1.234ms cmd=a508000020008131323334 rsp=5a0400aabb9000");
    Redact(&r);
    EXPECT_EQ(Describe(r, 1, false),
              start + " status=9000 error=0 1.234ms cmd=a5080000200081...(11 bytes) rsp=5a0400...(7 bytes) redacted");
    EXPECT_EQ(Describe(Command(&frames, {0x01}, {}, -1, 13), 4, false).substr(start.size()),
              " result=-1 error=13 1.234ms cmd=a5010001 rsp=5a02009000");
    Record listing;
    listing.argument = 3;
    EXPECT_EQ(Describe(listing, 1, true),
              "{\"record\": 1, \"time\": \"1970-01-01T00:00:00.000000Z\", \"pid\": 0, \"tid\": 0, \"call\": "
              "\"EnumDEV\", \"count\": 3, \"key\": \"\", \"result\": 0, \"error\": 0, \"duration_us\": 0, "
              "\"redacted\": false}");
    EXPECT_NE(Describe(r, 1, true).find("\"command\": \"a5080000200081\", \"command_length\": 11"), std::string::npos);
}

TEST(ReplayBook, AnswersEachKeyInRecordedOrderAndRefusesADivergence) {
    const std::string other = "\\\\?\\usb#other";
    std::vector<Bytes> f;
    std::vector<Record> records = {Command(&f, {1}, {0x11}), Command(&f, {2}, {0x22}), Command(&f, {3}, {}, -1, 13),
                                   Command(&f, {4}, {}), Command(&f, {5}, {})};
    records[1].path = other.data();  // record 2 is another key's
    records[1].pathLength = uint16_t(other.size());
    records[3].flags = kArgumentsRefused;  // record 4 never reached the key
    records[4].flags = kRedacted;
    ReplayBook book;
    for (size_t i = 0; i < records.size(); ++i) book.Add(records[i], int(i) + 1);
    auto send = [&](const std::string &key, size_t record) {
        return book.DoCommand(key, f[2 * record].data(), uint32_t(f[2 * record].size()));
    };

    ReplayBook::Answer a = send(kPath, 2);
    EXPECT_EQ(a.result, -1);
    EXPECT_EQ(a.error, kErrorInvalidData);
    EXPECT_EQ(a.divergence, "record 1, key " + kPath + ": expected a5010001, got a5010003");
    a = send(kPath, 0);  // still next
    EXPECT_EQ(a.result, 0x9000);
    EXPECT_EQ(Bytes(a.body, a.body + a.bodyLength), Bytes{0x11});
    EXPECT_EQ(a.durationUs, 1234u);
    EXPECT_EQ(send(other, 1).result, 0x9000);
    a = send(kPath, 2);
    EXPECT_EQ(a.result, -1);
    EXPECT_EQ(a.error, 13u);
    EXPECT_EQ(a.divergence, "");
    EXPECT_EQ(send(kPath, 4).divergence, "record 5, key " + kPath + ": recorded redacted, so it cannot be replayed");
    EXPECT_EQ(send(other, 1).divergence,
              "after record 2, key " + other + ": expected no command (all 1 recorded for it are used), got a5010002");
}

TEST(ReplayBook, ListingsAndOpeningsComeAsRecordedThenTheLastAgain) {
    Record listing, opening;
    opening.call = Call::Connect;
    opening.argument = 1;
    opening.path = kPath.data();
    opening.pathLength = uint16_t(kPath.size());
    ReplayBook book;
    listing.argument = 2;
    book.Add(listing, 1);
    listing.argument = 1;
    book.Add(listing, 2);
    book.Add(opening, 3);
    opening.result = 0x10001;  // unplugged since the listing
    opening.error = 2;
    book.Add(opening, 4);
    for (int count : {2, 1, 1}) EXPECT_EQ(book.EnumDev().count, count);
    EXPECT_EQ(book.Connect(1).path, kPath);
    const ReplayBook::Answer gone = book.Connect(1), again = book.Connect(1);
    EXPECT_EQ(gone.result, 0x10001);
    EXPECT_EQ(again.error, 2u);
    EXPECT_EQ(book.Connect(0).error, kErrorInvalidParameter);  // never opened: beyond the list
}

}  // namespace
