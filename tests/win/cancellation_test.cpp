// Giving up on a key that does not answer: another thread's CancelSynchronousIo
// ends the exchange's blocked read, the call fails with ERROR_OPERATION_ABORTED,
// the lock is released once, nothing is written for the caller, and the
// connection goes on working. The wait for the lock itself is not cancellable.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>

#include "olvexlib.h"
#include "support/dll_platform.h"
#include "support/connected_key.h"
#include "support/keys.h"

using testsupport::Api;
using testsupport::CallLog;
using testsupport::PlatformShim;
using testsupport::Reply;

namespace {

// One OLVEX_DoCommand on a thread of its own, so the test can cancel it.
class Blocked {
public:
    Blocked(OLVEX_HANDLE c, std::vector<uint8_t> payload) : c_(c), payload_(std::move(payload)) {
        thread_ = CreateThread(nullptr, 0, Run, this, 0, nullptr);
    }
    ~Blocked() {
        if (!thread_) return;
        // Only a test that has already failed gets here with the call blocked.
        if (WaitForSingleObject(thread_, 15000) != WAIT_OBJECT_0) TerminateThread(thread_, 1);
        CloseHandle(thread_);
    }
    bool started() const { return thread_ != nullptr; }
    bool done() const { return done_.load(); }
    // Cancels until the call returns (a cancel before the read starts is
    // lost); false if it has not returned within limitMs.
    bool CancelUntilReturned(DWORD limitMs = 10000) {
        const ULONGLONG end = GetTickCount64() + limitMs;
        while (!done_.load()) {
            if (GetTickCount64() > end) return false;
            CancelSynchronousIo(thread_);
            Sleep(5);
        }
        return true;
    }
    bool ReturnsWithin(DWORD ms) const { return WaitForSingleObject(thread_, ms) == WAIT_OBJECT_0; }
    const Reply &reply() const { return reply_; }

private:
    static DWORD WINAPI Run(void *self) {
        auto *b = static_cast<Blocked *>(self);
        b->reply_ = testsupport::Exchange(b->c_, b->payload_);
        b->done_ = true;
        return 0;
    }
    OLVEX_HANDLE c_;
    std::vector<uint8_t> payload_;
    Reply reply_;
    std::atomic<bool> done_{false};
    HANDLE thread_ = nullptr;
};

// Another program holding the key's lock until told to let go.
struct Holder {
    std::string name;
    HANDLE held, release;
};
DWORD WINAPI HoldLock(void *arg) {
    auto *h = static_cast<Holder *>(arg);
    HANDLE lock = OpenMutexA(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, h->name.c_str());
    if (!lock) return 1;
    WaitForSingleObject(lock, INFINITE);
    SetEvent(h->held);
    WaitForSingleObject(h->release, INFINITE);
    ReleaseMutex(lock);
    CloseHandle(lock);
    return 0;
}

class Cancellation : public testsupport::ConnectedKeyTest {
protected:
    Cancellation() : ConnectedKeyTest("cancel") {}

    // What every cancelled exchange leaves: the cause, nothing written for the
    // caller, one release of the lock it took, nothing allocated.
    void ExpectCancelled(const Blocked &b) {
        const Reply &r = b.reply();
        EXPECT_EQ(r.result, OLVEX_FAIL);
        EXPECT_EQ(r.error, DWORD(ERROR_OPERATION_ABORTED));
        EXPECT_EQ(r.length, -7);
        EXPECT_TRUE(r.untouched);
        const CallLog log = PlatformShim::Log();
        EXPECT_EQ(log.Succeeded(Api::WaitForSingleObject), 1);
        EXPECT_EQ(log.Calls(Api::ReleaseMutex), 1);
        EXPECT_EQ(log.Succeeded(Api::ReleaseMutex), 1);
        EXPECT_EQ(log.HeapOutstanding(), 0);
        EXPECT_TRUE(testsupport::LockIsFree(path_));
    }
};

}  // namespace

TEST_F(Cancellation, SilentKeyIsGivenUpOn) {
    Behave(testsupport::WithMode(keysim::Mode::Silent));
    Blocked b(conn_, {0x01, 0x02});
    ASSERT_TRUE(b.started());
    EXPECT_FALSE(b.ReturnsWithin(300)) << "a silent key answered";
    ASSERT_TRUE(b.CancelUntilReturned());
    ExpectCancelled(b);
    EXPECT_EQ(PlatformShim::Log().readSizes, std::vector<DWORD>{256});
}

// The late answer is not drained: it is what the next exchange reads, and
// every exchange after that is one answer behind, but each one completes.
TEST_F(Cancellation, SlowKeyStaysUsableAndItsLateAnswerReachesTheNextExchange) {
    Behave(testsupport::Echo(0x9000, 1500));
    {
        Blocked b(conn_, {0x0A});
        ASSERT_TRUE(b.CancelUntilReturned());
        ExpectCancelled(b);
    }
    const Reply late = testsupport::Exchange(conn_, {0x0B});
    EXPECT_EQ(late.result, 0x9000);
    EXPECT_EQ(late.body, std::vector<uint8_t>{0x0A});
    const Reply behind = testsupport::Exchange(conn_, {0x0C});
    EXPECT_EQ(behind.result, 0x9000);
    EXPECT_EQ(behind.body, std::vector<uint8_t>{0x0B});
}

TEST_F(Cancellation, CancelDuringTheSecondReadOfALongFrame) {
    // The first 256 bytes of a frame of data length 1000, and nothing more.
    std::vector<uint8_t> first = {0x5A, 0xE8, 0x03};
    const std::vector<uint8_t> data = testsupport::Bytes(253, 9);
    first.insert(first.end(), data.begin(), data.end());
    Behave(testsupport::Script({first}));
    Blocked b(conn_, {0x33});
    // Wait for the first read to be done and the second under way.
    for (int i = 0; i < 500 && PlatformShim::Log().readSizes.size() < 2; ++i) Sleep(10);
    EXPECT_FALSE(b.done());
    ASSERT_TRUE(b.CancelUntilReturned());
    ExpectCancelled(b);
    EXPECT_EQ(PlatformShim::Log().readSizes, (std::vector<DWORD>{256, 747}));
}

// A cancel aimed at a caller still waiting for the lock ends nothing, and is
// not kept for the I/O that follows once the lock is free.
TEST_F(Cancellation, WaitForTheLockIsNotCancelled) {
    HANDLE held = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    Holder holder{testsupport::LockName(path_), held, release};
    HANDLE other = CreateThread(nullptr, 0, HoldLock, &holder, 0, nullptr);
    ASSERT_NE(other, nullptr);
    ASSERT_EQ(WaitForSingleObject(held, 5000), WAIT_OBJECT_0);

    Behave(testsupport::Echo());
    {
        Blocked b(conn_, {0x44});
        EXPECT_FALSE(b.CancelUntilReturned(400)) << "the wait for a held lock was cancelled";
        SetEvent(release);
        ASSERT_TRUE(b.ReturnsWithin(10000));
        EXPECT_EQ(b.reply().result, 0x9000);
        EXPECT_EQ(b.reply().body, std::vector<uint8_t>{0x44});
    }
    SetEvent(release);
    WaitForSingleObject(other, INFINITE);
    CloseHandle(other);
    CloseHandle(held);
    CloseHandle(release);
}
