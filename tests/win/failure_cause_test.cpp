// After a failure, GetLastError() says why: one code per kind of refusal, and
// the platform's own code when a platform call failed, kept through whatever
// the DLL closes, releases and frees after it (the shim's cleanup calls leave
// their own mark as the last error, as the platform may).
#include <windows.h>
#include <setupapi.h>

#include <gtest/gtest.h>

#include <climits>

#include "olvexlib.h"
#include "support/dll_platform.h"
#include "support/iat_hook.h"
#include "support/keys.h"

using testsupport::Api;
using testsupport::CallLog;
using testsupport::PlatformShim;
using testsupport::Reply;

namespace {

// Nonzero and unlike any code the DLL or the platform gives, so a call that
// forgets to set the cause is seen.
constexpr DWORD kStale = 0x7A11;

HMODULE Library() { return GetModuleHandleA("Olvexlib.dll"); }

struct Outcome {
    int result;
    DWORD error;
};

template <typename F>
Outcome Call(F f) {
    SetLastError(kStale);
    const int result = f();
    return {result, GetLastError()};
}

class Causes : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(shim_.installed());
        key_ = testsupport::PlugKey(testsupport::FreshSerial("cause"));
        ASSERT_TRUE(key_);
        path_ = keysim::DevicePath(key_.get());
        index_ = testsupport::IndexOf(path_);
        ASSERT_GE(index_, 0);
    }
    void TearDown() override {
        PlatformShim::ClearFaults();
        OLVEX_Disconnect(conn_);
    }
    void Open() {
        ASSERT_EQ(testsupport::ConnectWhenFree(&conn_, nullptr, index_), OLVEX_OK);
        PlatformShim::Reset();
    }
    Outcome Connect() {
        return Call([&] { return OLVEX_Connect(&conn_, nullptr, index_); });
    }
    // Nothing of the failed call outlives it.
    void ExpectNothingHeld() {
        const CallLog log = PlatformShim::Log();
        EXPECT_EQ(log.HandlesOutstanding(), 0);
        EXPECT_EQ(log.HeapOutstanding(), 0);
        EXPECT_EQ(log.Succeeded(Api::WaitForSingleObject), log.Succeeded(Api::ReleaseMutex));
    }

    PlatformShim shim_;
    testsupport::KeyPtr key_;
    std::string path_;
    int index_ = -1;
    OLVEX_HANDLE conn_ = nullptr;
};

HDEVINFO WINAPI NoDeviceSet(const GUID *, PCSTR, HWND, DWORD) {
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
}

}  // namespace

TEST_F(Causes, BadArgumentsAreInvalidParameter) {
    EXPECT_EQ(Call([] { return OLVEX_EnumDEV(nullptr); }).error, DWORD(ERROR_INVALID_PARAMETER));

    OLVEX_HANDLE c = nullptr;
    for (int index : {-1, INT_MIN}) {
        const Outcome o = Call([&] { return OLVEX_Connect(&c, nullptr, index); });
        EXPECT_EQ(o.result, OLVEX_FAIL) << index;
        EXPECT_EQ(o.error, DWORD(ERROR_INVALID_PARAMETER)) << index;
    }
    int count = 0;
    ASSERT_EQ(OLVEX_EnumDEV(&count), OLVEX_OK);
    const Outcome beyond = Call([&] { return OLVEX_Connect(&c, nullptr, count); });
    EXPECT_EQ(beyond.result, OLVEX_FAIL);
    EXPECT_EQ(beyond.error, DWORD(ERROR_INVALID_PARAMETER));
    const Outcome noOut = Call([&] { return OLVEX_Connect(nullptr, nullptr, index_); });
    EXPECT_EQ(noOut.result, OLVEX_FAIL);
    EXPECT_EQ(noOut.error, DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(c, nullptr);

    Open();
    unsigned char cmd[4] = {1, 2, 3, 4};
    std::vector<unsigned char> body(OLVEX_MAX_RESPONSE_BODY);
    int length = -7;
    struct Case {
        const char *what;
        const unsigned char *command;
        int commandLength;
        unsigned char *response;
        int *responseLength;
    };
    const Case cases[] = {
        {"negative length", cmd, -1, body.data(), &length},
        {"length past the frame", cmd, OLVEX_MAX_COMMAND + 1, body.data(), &length},
        {"null command with a length", nullptr, 1, body.data(), &length},
        {"null response", cmd, 4, nullptr, &length},
        {"null responseLength", cmd, 4, body.data(), nullptr},
    };
    for (const Case &k : cases) {
        const Outcome o =
            Call([&] { return OLVEX_DoCommand(conn_, k.command, k.commandLength, k.response, k.responseLength); });
        EXPECT_EQ(o.result, OLVEX_FAIL) << k.what;
        EXPECT_EQ(o.error, DWORD(ERROR_INVALID_PARAMETER)) << k.what;
    }
    EXPECT_EQ(length, -7);
    EXPECT_EQ(PlatformShim::Log().Calls(Api::WriteFile), 0);
}

TEST_F(Causes, WhatIsNotAnOpenConnectionIsInvalidHandle) {
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    testsupport::ConnectionRecord wrongTag{0x45, event, event}, noDevice{0x44, nullptr, event},
        noLock{0x44, event, nullptr};
    unsigned char body[16];
    int length = -7;
    for (auto *f : {&wrongTag, &noDevice, &noLock}) {
        auto h = reinterpret_cast<OLVEX_HANDLE>(f);
        const Outcome command = Call([&] { return OLVEX_DoCommand(h, body, 1, body, &length); });
        EXPECT_EQ(command.result, OLVEX_FAIL);
        EXPECT_EQ(command.error, DWORD(ERROR_INVALID_HANDLE));
        const Outcome close = Call([&] { return OLVEX_Disconnect(h); });
        EXPECT_EQ(close.result, OLVEX_FAIL);
        EXPECT_EQ(close.error, DWORD(ERROR_INVALID_HANDLE));
    }
    const Outcome null = Call([&] { return OLVEX_DoCommand(nullptr, body, 1, body, &length); });
    EXPECT_EQ(null.result, OLVEX_FAIL);
    EXPECT_EQ(null.error, DWORD(ERROR_INVALID_HANDLE));
    CloseHandle(event);
}

TEST_F(Causes, RefusedAnswersAreInvalidData) {
    Open();
    struct Case {
        const char *what;
        keysim::Behaviour behaviour;
        Api fault = Api::Count;  // this API's nth call from the exchange's start fails
        int nth = 0;
    };
    const Case cases[] = {
        {"wrong lead byte", testsupport::WithMode(keysim::Mode::WrongLead)},
        {"under five bytes", testsupport::WithMode(keysim::Mode::ShortFirst)},
        {"longer than the buffer", testsupport::Length(51198)},
        // Dropping its rest is cleanup: the refusal stays the cause.
        {"longer than the buffer, its rest unreadable", testsupport::Length(60000), Api::ReadFile, 2},
        {"longer than the buffer, no room to drop its rest", testsupport::Length(60000), Api::HeapAlloc, 2},
        {"long answer cut short", [] {
             keysim::Behaviour b = testsupport::Length(1000);
             b.mode = keysim::Mode::ShortSecond;
             return b;
         }()},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.what);
        keysim::SetBehaviour(key_.get(), k.behaviour);
        PlatformShim::Reset();
        if (k.fault != Api::Count) PlatformShim::Fail(k.fault, k.nth, ERROR_SEM_TIMEOUT);
        const Reply r = testsupport::Exchange(conn_, {0x10});
        EXPECT_EQ(r.result, OLVEX_FAIL);
        EXPECT_EQ(r.error, DWORD(ERROR_INVALID_DATA));
        EXPECT_TRUE(r.untouched);
        ExpectNothingHeld();
        EXPECT_TRUE(testsupport::LockIsFree(path_));
        // What the refused answer left owed must not reach the next case.
        OLVEX_Disconnect(conn_);
        conn_ = nullptr;
        keysim::DropOwedAnswers(key_.get());
        Open();
    }
}

TEST_F(Causes, AllocationFailureIsNotEnoughMemory) {
    PlatformShim::Reset();
    PlatformShim::Fail(Api::HeapAlloc);
    const Outcome connect = Connect();
    EXPECT_EQ(connect.result, OLVEX_FAIL);
    EXPECT_EQ(connect.error, DWORD(ERROR_NOT_ENOUGH_MEMORY));
    ExpectNothingHeld();

    Open();
    PlatformShim::Fail(Api::HeapAlloc);
    const Reply r = testsupport::Exchange(conn_, {1});
    EXPECT_EQ(r.result, OLVEX_FAIL);
    EXPECT_EQ(r.error, DWORD(ERROR_NOT_ENOUGH_MEMORY));
    EXPECT_EQ(PlatformShim::Log().Calls(Api::WaitForSingleObject), 0);
}

TEST_F(Causes, NoDeviceSetKeepsSetupApisCode) {
    testsupport::ImportHook hook(Library(), "SETUPAPI.dll", "SetupDiGetClassDevsA",
                                 reinterpret_cast<void *>(&NoDeviceSet));
    ASSERT_TRUE(hook.installed());
    int count = 0;
    const Outcome o = Call([&] { return OLVEX_EnumDEV(&count); });
    EXPECT_EQ(o.result, OLVEX_FAIL);
    EXPECT_EQ(o.error, DWORD(ERROR_ACCESS_DENIED));
}

TEST_F(Causes, KeyThatCannotBeOpenedKeepsCreateFilesCode) {
    PlatformShim::Reset();
    PlatformShim::Fail(Api::CreateFileA, 1, ERROR_SHARING_VIOLATION);
    const Outcome refused = Connect();
    EXPECT_EQ(refused.result, OLVEX_ERR_OPEN);
    EXPECT_EQ(refused.error, DWORD(ERROR_SHARING_VIOLATION));
    ExpectNothingHeld();

    // Unplugged since the listing: the code the platform gives for that path.
    key_.reset();
    SetLastError(ERROR_SUCCESS);
    HANDLE direct = CreateFileA(path_.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_EQ(direct, INVALID_HANDLE_VALUE);
    const DWORD platform = GetLastError();
    EXPECT_NE(platform, DWORD(ERROR_SUCCESS));
    const Outcome gone = Connect();
    EXPECT_EQ(gone.result, OLVEX_ERR_OPEN);
    EXPECT_EQ(gone.error, platform);
}

// The device handle is closed after the lock fails; the lock's cause survives.
TEST_F(Causes, LockThatCannotBeHadKeepsTheMutexCallsCode) {
    PlatformShim::Reset();
    PlatformShim::Fail(Api::OpenMutexA, 1, ERROR_ACCESS_DENIED);
    const Outcome open = Connect();
    EXPECT_EQ(open.result, OLVEX_FAIL);
    EXPECT_EQ(open.error, DWORD(ERROR_ACCESS_DENIED));
    ExpectNothingHeld();
    EXPECT_EQ(PlatformShim::Log().Succeeded(Api::CloseHandle), 1);

    // No connection holds the lock yet, so it is created, and that fails.
    PlatformShim::Reset();
    PlatformShim::Fail(Api::CreateMutexA, 1, ERROR_NO_SYSTEM_RESOURCES);
    const Outcome create = Connect();
    EXPECT_EQ(create.result, OLVEX_FAIL);
    EXPECT_EQ(create.error, DWORD(ERROR_NO_SYSTEM_RESOURCES));
    ExpectNothingHeld();
    EXPECT_EQ(PlatformShim::Log().Calls(Api::OpenMutexA), 1);
}

// Each exchange failure's code survives the release of the lock and the free
// of the call's buffer that follow it.
TEST_F(Causes, ExchangeFailuresKeepThePlatformsCode) {
    struct Case {
        const char *what;
        Api api;
        int nth;
        DWORD error;
        uint32_t dataLength;
        LONG releases;
    };
    const Case cases[] = {
        {"wait fails", Api::WaitForSingleObject, 1, ERROR_POSSIBLE_DEADLOCK, 2, 0},
        {"write fails", Api::WriteFile, 1, ERROR_NO_DATA, 2, 1},
        {"first read fails", Api::ReadFile, 1, ERROR_BROKEN_PIPE, 2, 1},
        {"second read fails", Api::ReadFile, 2, ERROR_SEM_TIMEOUT, 1000, 1},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.what);
        keysim::SetBehaviour(key_.get(), testsupport::Length(k.dataLength));
        Open();
        PlatformShim::Fail(k.api, k.nth, k.error);
        const Reply r = testsupport::Exchange(conn_, {0x20});
        EXPECT_EQ(r.result, OLVEX_FAIL);
        EXPECT_EQ(r.error, k.error);
        EXPECT_TRUE(r.untouched);
        const CallLog log = PlatformShim::Log();
        EXPECT_EQ(log.Succeeded(Api::ReleaseMutex), k.releases);
        EXPECT_EQ(log.HeapOutstanding(), 0);
        EXPECT_TRUE(testsupport::LockIsFree(path_));
        OLVEX_Disconnect(conn_);
        conn_ = nullptr;
        // The answer a failed read left unread is still owed to the next asker.
        keysim::DropOwedAnswers(key_.get());
    }
}
