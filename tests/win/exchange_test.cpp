// OLVEX_DoCommand against virtual keys: the frame the key receives, how each
// response shape is read and cut, what every refusal leaves behind, and the
// exact platform calls an exchange costs.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <thread>

#include "olvexlib.h"
#include "support/dll_platform.h"
#include "support/connected_key.h"
#include "support/keys.h"

using testsupport::Api;
using testsupport::Bytes;
using testsupport::CallLog;
using testsupport::PlatformShim;
using testsupport::Reply;

namespace {

std::vector<uint8_t> Frame(const std::vector<uint8_t> &payload) {
    std::vector<uint8_t> f(payload.size() + 3);
    f[0] = 0xA5;
    f[1] = uint8_t(payload.size());
    f[2] = uint8_t(payload.size() >> 8);
    std::copy(payload.begin(), payload.end(), f.begin() + 3);
    return f;
}

std::vector<uint8_t> Pattern(const std::vector<uint8_t> &payload, size_t n) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = keysim::PatternByte(payload, i);
    return v;
}

class Exchanges : public testsupport::ConnectedKeyTest {
protected:
    Exchanges() : ConnectedKeyTest("xchg") {}

    // The state every refusal must leave: lock free for others, taken and
    // released equally often, and the key reachable again.
    void ExpectRecovered(const char *what) {
        SCOPED_TRACE(what);
        EXPECT_TRUE(testsupport::LockIsFree(path_));
        const CallLog log = PlatformShim::Log();
        EXPECT_EQ(log.Succeeded(Api::WaitForSingleObject), log.Calls(Api::ReleaseMutex));
        EXPECT_EQ(log.Calls(Api::ReleaseMutex), log.Succeeded(Api::ReleaseMutex));
        EXPECT_EQ(log.HeapOutstanding(), 0);
        // The refused exchange may have left its answer, or the rest of it,
        // owed by the key to whoever asks next: the key forgets it, as
        // plugging it again would, and a new connection asks.
        keysim::DropOwedAnswers(key_.get());
        Behave(testsupport::Echo());
        OLVEX_HANDLE fresh = testsupport::ConnectTo(path_);
        ASSERT_NE(fresh, nullptr);
        const Reply r = testsupport::Exchange(fresh, {0x31, 0x32});
        EXPECT_EQ(r.result, 0x9000);
        EXPECT_EQ(r.body, (std::vector<uint8_t>{0x31, 0x32}));
        OLVEX_Disconnect(fresh);
        OLVEX_Disconnect(conn_);
        conn_ = testsupport::ConnectTo(path_);
        ASSERT_NE(conn_, nullptr);
        PlatformShim::Reset();
    }
};

// The first `got` bytes of a frame whose header says L: body Bytes(L - 2, 3), status 62 63.
std::vector<uint8_t> CutFrame(uint32_t dataLength, size_t got) {
    std::vector<uint8_t> f = {0x5A, uint8_t(dataLength), uint8_t(dataLength >> 8)};
    const std::vector<uint8_t> body = Bytes(got - 5, 3);
    f.insert(f.end(), body.begin(), body.end());
    f.push_back(0x62);
    f.push_back(0x63);
    return f;
}

void ExpectRefused(const Reply &r, const char *what) {
    EXPECT_EQ(r.result, OLVEX_FAIL) << what;
    EXPECT_EQ(r.length, -7) << what << ": responseLength written";
    EXPECT_TRUE(r.untouched) << what << ": response written";
}

}  // namespace

TEST_F(Exchanges, KeyReceivesExactlyTheFrame) {
    Behave(testsupport::Length(4));  // a short answer, whatever the payload
    for (size_t n : {size_t(0), size_t(1), size_t(300), size_t(OLVEX_MAX_COMMAND)}) {
        SCOPED_TRACE(n);
        const std::vector<uint8_t> payload = Bytes(n, uint8_t(n));
        PlatformShim::Reset();
        const Reply r = testsupport::Exchange(conn_, payload);
        EXPECT_EQ(r.result, 0x9000);
        EXPECT_EQ(r.body, Pattern(payload, 2));
        const keysim::Stats stats = keysim::GetStats(key_.get());
        EXPECT_EQ(stats.lastRequest, Frame(payload));
        EXPECT_EQ(stats.malformed, 0u);
        EXPECT_EQ(PlatformShim::Log().writeSizes, std::vector<DWORD>{DWORD(n + 3)});
    }
    // No payload at all may come as a null pointer.
    uint8_t body[16];
    int length = 0;
    ASSERT_EQ(OLVEX_DoCommand(conn_, nullptr, 0, body, &length), 0x9000);
    EXPECT_EQ(keysim::GetStats(key_.get()).lastRequest, Frame({}));
}

TEST_F(Exchanges, EchoedBodiesComeBackWhole) {
    for (size_t n : {size_t(0), size_t(1), size_t(251), size_t(252), size_t(300), size_t(OLVEX_MAX_RESPONSE_BODY)}) {
        SCOPED_TRACE(n);
        const std::vector<uint8_t> payload = Bytes(n, 0x40);
        const Reply r = testsupport::Exchange(conn_, payload);
        EXPECT_EQ(r.result, 0x9000);
        EXPECT_EQ(r.length, int(n));
        EXPECT_EQ(r.body, payload);
        EXPECT_TRUE(r.guardIntact);
    }
}

// Short frames take one read of 256; longer ones exactly one more, of L-253
// bytes. The body is exact to the byte and nothing lands past it.
TEST_F(Exchanges, ResponseLengthsAroundTheFirstRead) {
    struct Case {
        uint32_t dataLength;
        std::vector<DWORD> reads;
    };
    const Case cases[] = {
        {2, {256}},
        {3, {256}},
        {253, {256}},
        {254, {256, 1}},
        {255, {256, 2}},
        {1000, {256, 747}},
        {51197, {256, 50944}},
    };
    const std::vector<uint8_t> payload = {0x17, 0x01};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.dataLength);
        Behave(testsupport::Length(c.dataLength, 0x6283));
        PlatformShim::Reset();
        const Reply r = testsupport::Exchange(conn_, payload);
        EXPECT_EQ(r.result, 0x6283);
        EXPECT_EQ(r.length, int(c.dataLength) - 2);
        EXPECT_EQ(r.body, Pattern(payload, c.dataLength - 2));
        EXPECT_TRUE(r.guardIntact);
        const CallLog log = PlatformShim::Log();
        EXPECT_EQ(log.writeSizes, std::vector<DWORD>{5});
        EXPECT_EQ(log.readSizes, c.reads);
        EXPECT_EQ(log.Succeeded(Api::WaitForSingleObject), 1);
        EXPECT_EQ(log.Succeeded(Api::ReleaseMutex), 1);
        EXPECT_EQ(log.HeapOutstanding(), 0);
    }
}

TEST_F(Exchanges, StatusWordIsReturnedWhole) {
    for (uint16_t status : {uint16_t(0x9000), uint16_t(0x0000), uint16_t(0x0001), uint16_t(0x6A82),
                            uint16_t(0xFF00), uint16_t(0xFFFF)}) {
        Behave(testsupport::Echo(status));
        const Reply r = testsupport::Exchange(conn_, {0xEE});
        EXPECT_EQ(r.result, int(status)) << std::hex << status;
        EXPECT_EQ(r.body, std::vector<uint8_t>{0xEE});
    }
    Behave(testsupport::Length(600, 0xFFFF));
    EXPECT_EQ(testsupport::Exchange(conn_, {}).result, 65535);
}

// For frames that fit the first read, the bytes received decide, not the header.
TEST_F(Exchanges, ShortFrameBodyFollowsTheBytesReceived) {
    struct Case {
        std::vector<uint8_t> frame;
        int status;
        std::vector<uint8_t> body;
    };
    const Case cases[] = {
        {{0x5A, 0x02, 0x00, 0x01, 0x02}, 258, {}},
        {{0x5A, 0x10, 0x00, 0xAA, 0xBB, 0x61, 0x00}, 0x6100, {0xAA, 0xBB}},     // header claims more
        {{0x5A, 0x02, 0x00, 0x11, 0x22, 0x33, 0x44}, 0x3344, {0x11, 0x22}},     // header claims less
        {{0x5A, 0x00, 0x00, 0x90, 0x00}, 0x9000, {}},                           // header claims none
        {CutFrame(253, 100), 0x6263, Bytes(95, 3)},  // the longest short length, cut: still one read
    };
    for (const Case &c : cases) {
        Behave(testsupport::Script({c.frame}));
        PlatformShim::Reset();
        const Reply r = testsupport::Exchange(conn_, {1});
        EXPECT_EQ(PlatformShim::Log().readSizes, std::vector<DWORD>{256});
        EXPECT_EQ(r.result, c.status);
        EXPECT_EQ(r.length, int(c.body.size()));
        EXPECT_EQ(r.body, c.body);
        EXPECT_TRUE(r.guardIntact);
        if (c.body.empty()) {
            EXPECT_TRUE(r.untouched) << "an empty body copied something";
        }
    }
}

// Refused before the lock: nothing is sent, nothing written, the lock never taken.
TEST_F(Exchanges, BadArgumentsAreRefusedBeforeTheLock) {
    std::vector<uint8_t> response(16, 0xCC);
    int length = -7;
    const uint8_t command[4] = {1, 2, 3, 4};
    for (int n : {-1, -65535, INT_MIN, OLVEX_MAX_COMMAND + 1, 65535, 65536, INT_MAX}) {
        EXPECT_EQ(OLVEX_DoCommand(conn_, command, n, response.data(), &length), OLVEX_FAIL) << n;
    }
    EXPECT_EQ(OLVEX_DoCommand(conn_, nullptr, 1, response.data(), &length), OLVEX_FAIL);
    EXPECT_EQ(OLVEX_DoCommand(conn_, command, 4, nullptr, &length), OLVEX_FAIL);
    EXPECT_EQ(OLVEX_DoCommand(conn_, command, 4, response.data(), nullptr), OLVEX_FAIL);
    EXPECT_EQ(length, -7);
    EXPECT_EQ(response, std::vector<uint8_t>(16, 0xCC));
    const CallLog log = PlatformShim::Log();
    EXPECT_EQ(log.Calls(Api::WaitForSingleObject), 0);
    EXPECT_EQ(log.Calls(Api::WriteFile), 0);
    EXPECT_EQ(log.HeapOutstanding(), 0);
    EXPECT_EQ(keysim::GetStats(key_.get()).requests, 0u);
    EXPECT_EQ(testsupport::Exchange(conn_, {5}).result, 0x9000);
}

TEST_F(Exchanges, ClosedOrForgedConnectionNeverTouchesTheLock) {
    testsupport::ConnectionRecord forged = *testsupport::RecordOf(conn_);
    forged.tag = 0;  // as Disconnect leaves a record
    const Reply r = testsupport::Exchange(reinterpret_cast<OLVEX_HANDLE>(&forged), {1});
    ExpectRefused(r, "forged");
    EXPECT_EQ(PlatformShim::Log().Calls(Api::WaitForSingleObject), 0);
    ExpectRefused(testsupport::Exchange(nullptr, {1}), "null");
}

// Each malformed answer is refused whole: no body, no length, the lock
// released, and the key usable afterwards.
TEST_F(Exchanges, MalformedResponsesAreRefused) {
    std::vector<uint8_t> longCut = {0x5A, 0xFF, 0x00};  // L = 255 but only 100 bytes come
    longCut.resize(100, 0x77);
    struct Case {
        const char *what;
        keysim::Behaviour behaviour;
        std::vector<DWORD> reads;
    };
    const Case cases[] = {
        {"wrong lead byte", testsupport::WithMode(keysim::Mode::WrongLead), {256}},
        {"first read under 5 bytes", testsupport::WithMode(keysim::Mode::ShortFirst), {256}},
        {"three bytes", testsupport::Script({{0x5A, 0x02, 0x00}}), {256}},
        {"long frame, short first read", testsupport::Script({longCut}), {256}},
        {"second part cut short", [] {
             keysim::Behaviour b = testsupport::Length(1000);
             b.mode = keysim::Mode::ShortSecond;
             return b;
         }(), {256, 747}},
        // Too long for the buffer: the rest the key still owes is read and dropped.
        {"data length over 51197", testsupport::Length(51198), {256, 51198 - 253}},
        {"data length 65535", testsupport::Length(65535), {256, 65535 - 253}},
        {"key closes the pipe", testsupport::WithMode(keysim::Mode::CloseOnCommand), {256}},
    };
    for (const Case &c : cases) {
        Behave(c.behaviour);
        ExpectRefused(testsupport::Exchange(conn_, Bytes(8, 3)), c.what);
        EXPECT_EQ(PlatformShim::Log().readSizes, c.reads) << c.what << ": the reads it cost";
        ExpectRecovered(c.what);
    }
}

// An answer refused for its length is read to its end before the lock goes:
// another program's exchange, while this connection stays open, gets its own
// answer, and the key saw nothing go astray.
TEST_F(Exchanges, AnswerTooLongForTheBufferIsReadToItsEndAndDropped) {
    Behave(testsupport::Length(60000));
    const Reply r = testsupport::Exchange(conn_, {0x2A});
    ExpectRefused(r, "60000");
    EXPECT_EQ(r.error, DWORD(ERROR_INVALID_DATA));
    const CallLog log = PlatformShim::Log();
    EXPECT_EQ(log.readSizes, (std::vector<DWORD>{256, 60000 - 253}));
    EXPECT_EQ(log.HeapOutstanding(), 0);
    EXPECT_TRUE(testsupport::LockIsFree(path_));
    EXPECT_EQ(testsupport::FinishProcess(testsupport::StartBeside("keysim.exe", "exchange --serial " + serial_ + " 0b")), 0)
        << "the other program did not get its own answer";
    EXPECT_EQ(testsupport::FinishProcess(
                  testsupport::StartBeside("keysim.exe", "check --serial " + serial_ + " --requests 2")),
              0)
        << "keysim saw an answer go astray";
}

TEST_F(Exchanges, PlatformFailuresAreRefused) {
    struct Case {
        const char *what;
        Api api;
        int nth;
        uint32_t dataLength;
        std::vector<DWORD> reads;
    };
    const Case cases[] = {
        {"write fails", Api::WriteFile, 1, 2, {}},
        {"first read fails", Api::ReadFile, 1, 2, {256}},
        {"first read of a long frame fails", Api::ReadFile, 1, 600, {256}},
        {"second read fails", Api::ReadFile, 2, 600, {256, 347}},
    };
    for (const Case &c : cases) {
        Behave(testsupport::Length(c.dataLength));
        PlatformShim::Fail(c.api, c.nth);
        ExpectRefused(testsupport::Exchange(conn_, {1, 2}), c.what);
        const CallLog log = PlatformShim::Log();
        EXPECT_EQ(log.Calls(Api::WriteFile), 1) << c.what;
        EXPECT_EQ(log.readSizes, c.reads) << c.what;
        ExpectRecovered(c.what);
    }
}

TEST_F(Exchanges, FrameAllocationFailureSendsNothing) {
    PlatformShim::Fail(Api::HeapAlloc);
    ExpectRefused(testsupport::Exchange(conn_, {1, 2}), "no memory");
    const CallLog log = PlatformShim::Log();
    EXPECT_EQ(log.Calls(Api::WaitForSingleObject), 0);
    EXPECT_EQ(log.Calls(Api::WriteFile), 0);
    EXPECT_EQ(keysim::GetStats(key_.get()).requests, 0u);
    ExpectRecovered("no memory");
}

TEST_F(Exchanges, FailedWaitReleasesNothing) {
    PlatformShim::Fail(Api::WaitForSingleObject, 1, ERROR_INVALID_HANDLE);
    ExpectRefused(testsupport::Exchange(conn_, {1, 2}), "wait failed");
    const CallLog log = PlatformShim::Log();
    EXPECT_EQ(log.Calls(Api::ReleaseMutex), 0);
    EXPECT_EQ(log.Calls(Api::WriteFile), 0);
    EXPECT_EQ(log.HeapOutstanding(), 0);
    EXPECT_EQ(keysim::GetStats(key_.get()).requests, 0u);
    // The same connection goes on.
    EXPECT_EQ(testsupport::Exchange(conn_, {3}).result, 0x9000);
}

// A failure that leaves nothing in the pipe lets the same connection go on.
TEST_F(Exchanges, SameConnectionWorksAfterACleanRefusal) {
    Behave(testsupport::WithMode(keysim::Mode::WrongLead));
    ExpectRefused(testsupport::Exchange(conn_, {1}), "wrong lead");
    Behave(testsupport::Echo());
    PlatformShim::Fail(Api::WriteFile);
    ExpectRefused(testsupport::Exchange(conn_, {1}), "write fails");
    const Reply r = testsupport::Exchange(conn_, {8, 9});
    EXPECT_EQ(r.result, 0x9000);
    EXPECT_EQ(r.body, (std::vector<uint8_t>{8, 9}));
    const CallLog log = PlatformShim::Log();
    EXPECT_EQ(log.Succeeded(Api::WaitForSingleObject), 3);
    EXPECT_EQ(log.Succeeded(Api::ReleaseMutex), 3);
}

// An exchange waits as long as the key takes; only the key going away ends it.
TEST_F(Exchanges, SilentKeyIsAwaitedUntilItIsUnplugged) {
    Behave(testsupport::WithMode(keysim::Mode::Silent));
    Reply r;
    HANDLE done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::thread t([&] {
        r = testsupport::Exchange(conn_, {1});
        SetEvent(done);
    });
    EXPECT_EQ(WaitForSingleObject(done, 1500), DWORD(WAIT_TIMEOUT)) << "gave up on a slow key";
    EXPECT_FALSE(testsupport::LockIsFree(path_)) << "waited for the key without holding its lock";
    key_.reset();
    t.join();
    CloseHandle(done);
    ExpectRefused(r, "key unplugged mid-exchange");
    EXPECT_TRUE(testsupport::LockIsFree(path_));
    const CallLog log = PlatformShim::Log();
    EXPECT_EQ(log.Succeeded(Api::WaitForSingleObject), 1);
    EXPECT_EQ(log.Succeeded(Api::ReleaseMutex), 1);
}
