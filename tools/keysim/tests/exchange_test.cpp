// Raw frames through a client handle: what each behaviour puts on the wire,
// and what the key makes of the requests it gets.
#include <gtest/gtest.h>

#include "support.h"

namespace {

using Bytes = std::vector<uint8_t>;

// A key plugged for one test, with one client handle open on it.
class Client : public testing::Test {
protected:
    void Use(const std::string &serial, const keysim::Behaviour &b = {}) {
        key_ = test::PlugKey(serial, b);
        ASSERT_TRUE(key_);
        h_ = test::Open(keysim::DevicePath(key_.get()));
        ASSERT_NE(INVALID_HANDLE_VALUE, h_);
    }
    void TearDown() override {
        if (h_ != INVALID_HANDLE_VALUE) CloseHandle(h_);
    }
    DWORD ReadUpTo(DWORD size, Bytes *out) {
        out->assign(size, 0);
        DWORD n = 0;
        if (!ReadFile(h_, out->data(), size, &n, nullptr)) return DWORD(-1);
        out->resize(n);
        return n;
    }
    keysim::Stats Stats() { return keysim::GetStats(key_.get()); }

    test::KeyPtr key_;
    HANDLE h_ = INVALID_HANDLE_VALUE;
};

TEST_F(Client, EchoAnswersPayloadWithStatusWord) {
    Use("echo-1");
    Bytes frame;
    ASSERT_TRUE(test::Exchange(h_, {1, 2, 3}, &frame));
    EXPECT_EQ(Bytes({0x5A, 5, 0, 1, 2, 3, 0x90, 0x00}), frame);
    ASSERT_TRUE(test::Exchange(h_, {}, &frame));
    EXPECT_EQ(Bytes({0x5A, 2, 0, 0x90, 0x00}), frame);

    keysim::Behaviour b;
    b.status = 0xFFFF;
    keysim::SetBehaviour(key_.get(), b);
    ASSERT_TRUE(test::Exchange(h_, {9}, &frame));
    EXPECT_EQ(Bytes({0x5A, 3, 0, 9, 0xFF, 0xFF}), frame);
}

TEST_F(Client, LongFramesArriveAsFirst256ThenTheRest) {
    Use("long-1");
    for (uint32_t length : {253u, 254u, 1000u, 51197u}) {
        SCOPED_TRACE(length);
        keysim::SetBehaviour(key_.get(), test::Length(length));
        Bytes frame;
        ASSERT_TRUE(test::Exchange(h_, {7, 1}, &frame));
        ASSERT_EQ(length + 3, frame.size());
        EXPECT_EQ(0x5A, frame[0]);
        EXPECT_EQ(length, size_t(frame[1] | frame[2] << 8));
        size_t wrong = 0;
        for (size_t i = 0; i + 2 < length; ++i) wrong += frame[3 + i] != uint8_t(7 + i);
        EXPECT_EQ(0u, wrong) << "body bytes off the documented pattern";
        EXPECT_EQ(0x90, frame[length + 1]);
        EXPECT_EQ(0x00, frame[length + 2]);
    }
}

TEST_F(Client, GreedyFirstReadStillGets256Bytes) {
    Use("greedy-1", test::Length(1000));
    ASSERT_TRUE(test::Send(h_, test::Command({1})));
    Bytes part;
    EXPECT_EQ(256u, ReadUpTo(4096, &part));
    EXPECT_EQ(747u, ReadUpTo(4096, &part));
}

TEST_F(Client, ScriptedBytesArriveVerbatimOneWriteAtATime) {
    keysim::Behaviour b;
    b.mode = keysim::Mode::Script;
    b.script = {{0x5A, 0x03, 0x00, 0xAA}, {0x61, 0x10}};
    Use("script-1", b);
    ASSERT_TRUE(test::Send(h_, test::Command({1})));
    Bytes part;
    EXPECT_EQ(4u, ReadUpTo(256, &part));
    EXPECT_EQ(Bytes({0x5A, 0x03, 0x00, 0xAA}), part);
    EXPECT_EQ(2u, ReadUpTo(256, &part));
    EXPECT_EQ(Bytes({0x61, 0x10}), part);
}

TEST_F(Client, LatencyDelaysEachResponse) {
    keysim::Behaviour b;
    b.latencyMs = 200;
    Use("latency-1", b);
    Bytes frame;
    for (int i = 0; i < 2; ++i) {
        ULONGLONG start = GetTickCount64();
        ASSERT_TRUE(test::Exchange(h_, {1}, &frame));
        EXPECT_GE(GetTickCount64() - start, 180u);
    }
}

TEST_F(Client, RequestsAreCountedAndCheckedForFraming) {
    Use("framing-1");
    Bytes big(65532, 0x33);
    Bytes frame;
    ASSERT_TRUE(test::Exchange(h_, big, &frame)) << "the largest command is one request";
    keysim::Stats s = Stats();
    EXPECT_EQ(1u, s.requests);
    EXPECT_EQ(0u, s.malformed);
    EXPECT_EQ(test::Command(big), s.lastRequest);

    const Bytes malformed[] = {
        {0xA5, 5, 0, 1, 2},  // length field claims more than came
        {0xA5, 0, 0, 1},     // and less
        {0xA4, 1, 0, 1},     // wrong lead byte
        {0xA5, 1},           // no room for a length
        Bytes(70000, 0xA5),  // longer than any frame
    };
    for (const Bytes &m : malformed) {
        ASSERT_TRUE(test::Send(h_, m));
        ASSERT_TRUE(test::Receive(h_, &frame));
        EXPECT_EQ(Bytes({0x5A, 2, 0, 0x67, 0x00}), frame);
    }
    // A command split over two writes is two malformed requests.
    ASSERT_TRUE(test::Send(h_, {0xA5, 2, 0}));
    ASSERT_TRUE(test::Receive(h_, &frame));
    ASSERT_TRUE(test::Send(h_, {1, 2}));
    ASSERT_TRUE(test::Receive(h_, &frame));
    s = Stats();
    EXPECT_EQ(8u, s.requests);
    EXPECT_EQ(7u, s.malformed);
    EXPECT_EQ(Bytes({1, 2}), s.lastRequest);
    EXPECT_EQ(0u, s.interleaved);
}

TEST_F(Client, ManyHandlesOpenAtOnce) {
    Use("handles-1");
    std::vector<HANDLE> more;
    for (int i = 0; i < 12; ++i) {
        more.push_back(test::Open(keysim::DevicePath(key_.get())));
        ASSERT_NE(INVALID_HANDLE_VALUE, more.back()) << i;
    }
    Bytes frame;
    for (size_t i = 0; i < more.size(); ++i) {
        ASSERT_TRUE(test::Exchange(more[i], {uint8_t(i)}, &frame));
        EXPECT_EQ(uint8_t(i), frame[3]);
    }
    EXPECT_EQ(13u, Stats().openHandles);
    for (HANDLE h : more) CloseHandle(h);
    for (int i = 0; i < 100 && Stats().openHandles != 1; ++i) Sleep(20);
    EXPECT_EQ(1u, Stats().openHandles);
    EXPECT_EQ(0u, Stats().interleaved);
}

TEST_F(Client, WrongLeadByteFault) {
    keysim::Behaviour b;
    b.mode = keysim::Mode::WrongLead;
    Use("fault-lead", b);
    Bytes frame;
    ASSERT_TRUE(test::Exchange(h_, {4}, &frame));
    EXPECT_EQ(Bytes({0x5B, 3, 0, 4, 0x90, 0x00}), frame);
}

TEST_F(Client, ShortFirstReadFault) {
    keysim::Behaviour b;
    b.mode = keysim::Mode::ShortFirst;
    Use("fault-short1", b);
    ASSERT_TRUE(test::Send(h_, test::Command({1})));
    Bytes part;
    EXPECT_EQ(4u, ReadUpTo(256, &part));
    Sleep(100);
    EXPECT_EQ(0u, test::Pending(h_)) << "nothing follows";
}

TEST_F(Client, ShortSecondPartFault) {
    keysim::Behaviour b = test::Length(1000);
    b.mode = keysim::Mode::ShortSecond;
    Use("fault-short2", b);
    ASSERT_TRUE(test::Send(h_, test::Command({1})));
    Bytes part;
    ASSERT_EQ(256u, ReadUpTo(256, &part));
    EXPECT_EQ(1000, part[1] | part[2] << 8);
    EXPECT_EQ(373u, ReadUpTo(747, &part));
}

TEST_F(Client, DataLengthAboveTheMaximumFault) {
    Use("fault-oversize", test::Length(keysim::kMaxDataLength + 1));
    Bytes frame;
    ASSERT_TRUE(test::Exchange(h_, {1}, &frame));
    EXPECT_EQ(51198, frame[1] | frame[2] << 8);
}

TEST_F(Client, SilentFaultNeverAnswersYetUnplugsCleanly) {
    keysim::Behaviour b;
    b.mode = keysim::Mode::Silent;
    Use("fault-silent", b);
    ASSERT_TRUE(test::Send(h_, test::Command({1})));
    Sleep(300);
    EXPECT_EQ(0u, test::Pending(h_));
    EXPECT_EQ(1u, Stats().requests);
    key_.reset();  // must not hang on the unanswered exchange
}

TEST_F(Client, CloseOnCommandFaultBreaksThatHandleOnly) {
    keysim::Behaviour b;
    b.mode = keysim::Mode::CloseOnCommand;
    Use("fault-close", b);
    ASSERT_TRUE(test::Send(h_, test::Command({1})));
    Bytes part;
    EXPECT_EQ(DWORD(-1), ReadUpTo(256, &part));
    EXPECT_EQ(1u, Stats().requests);
    HANDLE again = test::Open(keysim::DevicePath(key_.get()));
    EXPECT_NE(INVALID_HANDLE_VALUE, again) << "the key itself stays";
    CloseHandle(again);
}

}  // namespace
