// Thousands of connections and exchanges, through every success and failure
// path, must leave the process exactly as they found it: no handle, no heap
// block, no lock hold left behind.
#include <windows.h>

#include <gtest/gtest.h>

#include <functional>

#include "olvexlib.h"
#include "support/dll_platform.h"
#include "support/iat_hook.h"
#include "support/keys.h"

using testsupport::Api;
using testsupport::PlatformShim;

namespace {

struct Scenario {
    const char *name;
    // Runs one cycle; false when the DLL answered other than expected.
    std::function<bool()> run;
};

class Resources : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(shim_.installed());
        key_ = testsupport::PlugKey(testsupport::FreshSerial("res"));
        ASSERT_TRUE(key_);
        path_ = keysim::DevicePath(key_.get());
        Reindex();
    }
    void Reindex() {
        index_ = testsupport::IndexOf(path_);
        ASSERT_GE(index_, 0);
    }

    long IdleHandleCount(long expected = -1) { return testsupport::IdleHandleCount(key_.get(), expected); }

    // One connection, one exchange under `behaviour` with `fault` injected,
    // one disconnection.
    bool Cycle(const keysim::Behaviour &behaviour, int expected, Api fault = Api::Count, int nth = 1) {
        keysim::SetBehaviour(key_.get(), behaviour);
        OLVEX_HANDLE c = nullptr;
        if (testsupport::ConnectWhenFree(&c, nullptr, index_) != OLVEX_OK) return false;
        if (fault != Api::Count) PlatformShim::Fail(fault, nth);
        const int result = testsupport::Exchange(c, {0x10, 0x20, 0x30}).result;
        PlatformShim::ClearFaults();
        // A refused exchange leaves its answer, or the rest, owed to whoever
        // asks next; every cycle starts from a key that owes nothing.
        keysim::DropOwedAnswers(key_.get());
        return OLVEX_Disconnect(c) == OLVEX_OK && result == expected;
    }

    std::vector<Scenario> Scenarios() {
        using keysim::Mode;
        keysim::Behaviour cutSecond = testsupport::Length(700);
        cutSecond.mode = Mode::ShortSecond;
        return {
            {"short echo", [this] { return Cycle(testsupport::Echo(), 0x9000); }},
            {"long response", [this] { return Cycle(testsupport::Length(5000), 0x9000); }},
            {"wrong lead", [this] { return Cycle(testsupport::WithMode(Mode::WrongLead), OLVEX_FAIL); }},
            {"short first read", [this] { return Cycle(testsupport::WithMode(Mode::ShortFirst), OLVEX_FAIL); }},
            {"short second read", [this, cutSecond] { return Cycle(cutSecond, OLVEX_FAIL); }},
            {"data too long", [this] { return Cycle(testsupport::Length(60000), OLVEX_FAIL); }},
            {"write fails", [this] { return Cycle(testsupport::Echo(), OLVEX_FAIL, Api::WriteFile); }},
            {"first read fails", [this] { return Cycle(testsupport::Echo(), OLVEX_FAIL, Api::ReadFile); }},
            {"second read fails",
             [this] { return Cycle(testsupport::Length(900), OLVEX_FAIL, Api::ReadFile, 2); }},
            {"wait fails", [this] { return Cycle(testsupport::Echo(), OLVEX_FAIL, Api::WaitForSingleObject); }},
            {"frame allocation fails",
             [this] { return Cycle(testsupport::Echo(), OLVEX_FAIL, Api::HeapAlloc); }},
            {"bad arguments",
             [this] {
                 OLVEX_HANDLE c = nullptr;
                 if (testsupport::ConnectWhenFree(&c, nullptr, index_) != OLVEX_OK) return false;
                 unsigned char body[8];
                 int length = 0;
                 const unsigned char cmd[1] = {1};
                 bool ok = OLVEX_DoCommand(c, cmd, -1, body, &length) == OLVEX_FAIL &&
                           OLVEX_DoCommand(c, cmd, OLVEX_MAX_COMMAND + 1, body, &length) == OLVEX_FAIL &&
                           OLVEX_DoCommand(c, nullptr, 1, body, &length) == OLVEX_FAIL &&
                           OLVEX_DoCommand(c, cmd, 1, nullptr, &length) == OLVEX_FAIL &&
                           OLVEX_DoCommand(c, cmd, 1, body, nullptr) == OLVEX_FAIL;
                 return OLVEX_Disconnect(c) == OLVEX_OK && ok;
             }},
            {"bad index",
             [this] {
                 OLVEX_HANDLE c = nullptr;
                 return OLVEX_Connect(&c, nullptr, -1) == OLVEX_FAIL && OLVEX_Connect(&c, nullptr, 10) == OLVEX_FAIL &&
                        OLVEX_Connect(nullptr, nullptr, index_) == OLVEX_FAIL;
             }},
            {"record allocation fails",
             [this] {
                 OLVEX_HANDLE c = nullptr;
                 PlatformShim::Fail(Api::HeapAlloc);
                 const int result = OLVEX_Connect(&c, nullptr, index_);
                 PlatformShim::ClearFaults();
                 return result == OLVEX_FAIL;
             }},
            {"lock creation fails",
             [this] {
                 OLVEX_HANDLE c = nullptr;
                 PlatformShim::Fail(Api::CreateMutexA);
                 const int result = OLVEX_Connect(&c, nullptr, index_);
                 PlatformShim::ClearFaults();
                 return result == OLVEX_FAIL;
             }},
            {"forged disconnect",
             [this] {
                 OLVEX_HANDLE c = nullptr;
                 if (testsupport::ConnectWhenFree(&c, nullptr, index_) != OLVEX_OK) return false;
                 testsupport::ConnectionRecord forged = *testsupport::RecordOf(c);
                 forged.tag = 0;
                 const bool refused = OLVEX_Disconnect(reinterpret_cast<OLVEX_HANDLE>(&forged)) == OLVEX_FAIL;
                 return OLVEX_Disconnect(c) == OLVEX_OK && OLVEX_Disconnect(nullptr) == OLVEX_OK && refused;
             }},
            {"two connections",
             [this] {
                 OLVEX_HANDLE a = nullptr, b = nullptr;
                 bool ok = testsupport::ConnectWhenFree(&a, nullptr, index_) == OLVEX_OK &&
                           testsupport::ConnectWhenFree(&b, nullptr, index_) == OLVEX_OK &&
                           testsupport::Exchange(b, {1}).result == 0x9000;
                 return OLVEX_Disconnect(a) == OLVEX_OK && OLVEX_Disconnect(b) == OLVEX_OK && ok;
             }},
        };
    }

    PlatformShim shim_;
    testsupport::KeyPtr key_;
    std::string path_;
    int index_ = -1;
};

}  // namespace

TEST_F(Resources, ThousandsOfCyclesThroughEveryPathLeakNothing) {
    const std::vector<Scenario> scenarios = Scenarios();
    for (const Scenario &s : scenarios) ASSERT_TRUE(s.run()) << "warm-up: " << s.name;
    const long handles = IdleHandleCount();
    PlatformShim::Reset();

    const int cycles = 2000;
    int failures = 0;
    for (int i = 0; i < cycles; ++i) {
        const Scenario &s = scenarios[size_t(i) % scenarios.size()];
        if (!s.run() && ++failures <= 5) ADD_FAILURE() << "cycle " << i << ": " << s.name;
    }
    EXPECT_EQ(failures, 0);

    const testsupport::CallLog log = PlatformShim::Log();
    EXPECT_EQ(log.HeapOutstanding(), 0);
    EXPECT_EQ(log.HandlesOutstanding(), 0);
    EXPECT_EQ(log.Succeeded(Api::CloseHandle), log.Calls(Api::CloseHandle));
    EXPECT_EQ(log.Succeeded(Api::WaitForSingleObject), log.Succeeded(Api::ReleaseMutex));
    EXPECT_EQ(log.Calls(Api::ReleaseMutex), log.Succeeded(Api::ReleaseMutex));
    EXPECT_EQ(IdleHandleCount(handles), handles);
    OLVEX_HANDLE c = nullptr;
    ASSERT_EQ(OLVEX_Connect(&c, nullptr, index_), OLVEX_OK);
    EXPECT_TRUE(testsupport::LockIsFree(path_));  // no hold left by any path
    OLVEX_Disconnect(c);
}

// Keys that vanish between enumeration and connection, over and over.
TEST_F(Resources, RepeatedlyUnpluggedKeysLeakNothing) {
    const long handles = IdleHandleCount();
    PlatformShim::Reset();
    for (int i = 0; i < 25; ++i) {
        auto gone = testsupport::PlugKey(testsupport::FreshSerial("gone"));
        ASSERT_TRUE(gone);
        const int index = testsupport::IndexOf(keysim::DevicePath(gone.get()));
        ASSERT_GE(index, 0);
        gone.reset();
        OLVEX_HANDLE c = nullptr;
        EXPECT_EQ(OLVEX_Connect(&c, nullptr, index), OLVEX_ERR_OPEN);
    }
    const testsupport::CallLog log = PlatformShim::Log();
    EXPECT_EQ(log.HeapOutstanding(), 0);
    EXPECT_EQ(log.HandlesOutstanding(), 0);
    EXPECT_EQ(IdleHandleCount(handles), handles);
}
