// Exchanges from many threads and processes at once: each key's lock keeps
// its exchanges apart, locks of different keys never hold each other up, and
// a lock left behind by a dead process is taken over.
//
// The program is its own peer: started with --exchanger or --abandon it plays
// a client process for the tests below instead of running them.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "olvexlib.h"
#include "support/dll_platform.h"
#include "support/keys.h"

using testsupport::PlatformShim;
using testsupport::Reply;

namespace {

// A payload no other thread or process sends: its origin, its sequence number
// and a length that varies across the short/long boundary of the response.
std::vector<uint8_t> Payload(int process, int thread, int i) {
    const size_t n = 4 + size_t((process * 131 + thread * 17 + i * 29) % 400);
    std::vector<uint8_t> p = testsupport::Bytes(n, uint8_t(process * 16 + thread + i));
    p[0] = uint8_t(process);
    p[1] = uint8_t(thread);
    p[2] = uint8_t(i);
    p[3] = uint8_t(i >> 8);
    return p;
}

// Echo exchanges; the number that came back wrong.
int ExchangeMany(OLVEX_HANDLE c, int process, int thread, int iterations) {
    int wrong = 0;
    for (int i = 0; i < iterations; ++i) {
        const std::vector<uint8_t> p = Payload(process, thread, i);
        const Reply r = testsupport::Exchange(c, p);
        wrong += r.result != 0x9000 || r.body != p;
    }
    return wrong;
}

// --exchanger PROCESS THREADS ITERATIONS READY START PATH...
// Thread t uses key (PROCESS + t) mod the number of paths.
int ExchangerProcess(int argc, char **argv) {
    if (argc < 6) return 100;
    const int process = atoi(argv[0]);
    const int threads = atoi(argv[1]);
    const int iterations = atoi(argv[2]);
    HANDLE ready = OpenSemaphoreA(SEMAPHORE_MODIFY_STATE, FALSE, argv[3]);
    HANDLE start = OpenEventA(SYNCHRONIZE, FALSE, argv[4]);
    if (!ready || !start) return 101;
    std::vector<std::string> paths(argv + 5, argv + argc);
    std::vector<int> indices;
    for (const std::string &p : paths) indices.push_back(testsupport::IndexOf(p));
    std::vector<OLVEX_HANDLE> connections(size_t(threads), nullptr);
    for (int t = 0; t < threads; ++t) {
        const int index = indices[size_t(process + t) % paths.size()];
        if (index < 0 || testsupport::ConnectWhenFree(&connections[size_t(t)], nullptr, index) != OLVEX_OK) return 102;
    }
    ReleaseSemaphore(ready, 1, nullptr);
    WaitForSingleObject(start, INFINITE);
    std::atomic<int> wrong{0};
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t)
        workers.emplace_back([&, t] { wrong += ExchangeMany(connections[size_t(t)], process, t, iterations); });
    for (std::thread &w : workers) w.join();
    for (OLVEX_HANDLE c : connections) OLVEX_Disconnect(c);
    return wrong > 0 ? 1 : 0;
}

// --abandon LOCKNAME: takes the key's lock and dies holding it.
int AbandonProcess(const char *lockName) {
    HANDLE lock = OpenMutexA(SYNCHRONIZE, FALSE, lockName);
    if (!lock || WaitForSingleObject(lock, INFINITE) != WAIT_OBJECT_0) return 1;
    return 0;
}

// Peer processes started together once all are connected.
class Peers {
public:
    Peers() {
        const std::string id = std::to_string(GetCurrentProcessId()) + "-" + std::to_string(GetTickCount());
        readyName_ = "olvex-test-ready-" + id;
        startName_ = "olvex-test-start-" + id;
        ready_ = CreateSemaphoreA(nullptr, 0, 64, readyName_.c_str());
        start_ = CreateEventA(nullptr, TRUE, FALSE, startName_.c_str());
    }
    ~Peers() {
        SetEvent(start_);
        for (HANDLE p : processes_) testsupport::FinishProcess(p);
        CloseHandle(ready_);
        CloseHandle(start_);
    }
    bool Start(int process, int threads, int iterations, const std::vector<std::string> &paths) {
        std::string args = "--exchanger " + std::to_string(process) + " " + std::to_string(threads) + " " +
                           std::to_string(iterations) + " " + readyName_ + " " + startName_;
        for (const std::string &p : paths) args += " " + p;
        HANDLE h = testsupport::StartSelf(args);
        if (h) processes_.push_back(h);
        return h != nullptr;
    }
    // Waits until every peer is connected, then lets them go; false when
    // one died first.
    bool Go() {
        std::vector<HANDLE> waits{ready_};
        waits.insert(waits.end(), processes_.begin(), processes_.end());
        for (size_t i = 0; i < processes_.size(); ++i)
            if (WaitForMultipleObjects(DWORD(waits.size()), waits.data(), FALSE, 60000) != WAIT_OBJECT_0) return false;
        return SetEvent(start_) != FALSE;
    }
    // Exit codes, in start order.
    std::vector<int> Finish() {
        std::vector<int> codes;
        for (HANDLE p : processes_) codes.push_back(testsupport::FinishProcess(p, 120000));
        processes_.clear();
        return codes;
    }

private:
    std::string readyName_, startName_;
    HANDLE ready_ = nullptr, start_ = nullptr;
    std::vector<HANDLE> processes_;
};

void ExpectNoInterleaving(const keysim::Key *key, uint64_t requests) {
    const keysim::Stats stats = keysim::GetStats(key);
    EXPECT_EQ(stats.requests, requests);
    EXPECT_EQ(stats.malformed, 0u);
    EXPECT_EQ(stats.interleaved, 0u);
}

}  // namespace

TEST(Concurrency, TwoThreadsOnOneKeyNeverInterleave) {
    // A little latency widens every exchange, so unserialised ones would overlap.
    auto key = testsupport::PlugKey(testsupport::FreshSerial("thr"), testsupport::Echo(0x9000, 1));
    ASSERT_TRUE(key);
    const std::string path = keysim::DevicePath(key.get());
    OLVEX_HANDLE a = testsupport::ConnectTo(path);
    OLVEX_HANDLE b = testsupport::ConnectTo(path);
    ASSERT_TRUE(a && b);
    const int n = 150;
    int wrongA = -1, wrongB = -1;
    std::thread ta([&] { wrongA = ExchangeMany(a, 0, 0, n); });
    std::thread tb([&] { wrongB = ExchangeMany(b, 0, 1, n); });
    ta.join();
    tb.join();
    EXPECT_EQ(wrongA, 0);
    EXPECT_EQ(wrongB, 0);
    ExpectNoInterleaving(key.get(), 2 * n);
    OLVEX_Disconnect(a);
    OLVEX_Disconnect(b);
}

TEST(Concurrency, TwoProcessesOnOneKeyNeverInterleave) {
    auto key = testsupport::PlugKey(testsupport::FreshSerial("proc"), testsupport::Echo(0x9000, 1));
    ASSERT_TRUE(key);
    const std::string path = keysim::DevicePath(key.get());
    OLVEX_HANDLE c = testsupport::ConnectTo(path);
    ASSERT_NE(c, nullptr);
    const int n = 150;
    Peers peers;
    ASSERT_TRUE(peers.Start(1, 1, n, {path}));
    ASSERT_TRUE(peers.Go());
    EXPECT_EQ(ExchangeMany(c, 0, 0, n), 0);
    EXPECT_EQ(peers.Finish(), std::vector<int>{0});
    ExpectNoInterleaving(key.get(), 2 * n);
    OLVEX_Disconnect(c);
}

TEST(Concurrency, FourProcessesOfFourThreadsOverThreeKeys) {
    const int processes = 4, threads = 4, iterations = 40;
    std::vector<testsupport::KeyPtr> keys;
    std::vector<std::string> paths;
    for (int k = 0; k < 3; ++k) {
        keys.push_back(testsupport::PlugKey(testsupport::FreshSerial("many"), testsupport::Echo(0x9000, 1)));
        ASSERT_TRUE(keys.back());
        paths.push_back(keysim::DevicePath(keys.back().get()));
    }
    Peers peers;
    for (int p = 0; p < processes; ++p) ASSERT_TRUE(peers.Start(p, threads, iterations, paths));
    ASSERT_TRUE(peers.Go());
    EXPECT_EQ(peers.Finish(), std::vector<int>(processes, 0)) << "a response did not match its request";
    std::vector<uint64_t> expected(3, 0);
    for (int p = 0; p < processes; ++p)
        for (int t = 0; t < threads; ++t) expected[size_t(p + t) % 3] += iterations;
    for (size_t k = 0; k < 3; ++k) {
        SCOPED_TRACE(k);
        ExpectNoInterleaving(keys[k].get(), expected[k]);
    }
}

// While one thread waits on a slow key, exchanges with another key go on.
TEST(Concurrency, SlowKeyDoesNotHoldBackAnotherKey) {
    auto slow = testsupport::PlugKey(testsupport::FreshSerial("slow"), testsupport::Echo(0x9000, 300));
    auto fast = testsupport::PlugKey(testsupport::FreshSerial("fast"));
    ASSERT_TRUE(slow && fast);
    OLVEX_HANDLE s = testsupport::ConnectTo(keysim::DevicePath(slow.get()));
    OLVEX_HANDLE f = testsupport::ConnectTo(keysim::DevicePath(fast.get()));
    ASSERT_TRUE(s && f);

    std::atomic<bool> slowDone{false};
    int slowResult = 0;
    std::thread t([&] {
        slowResult = testsupport::Exchange(s, {1}).result;
        slowDone = true;
    });
    // Once the slow key has the request, its exchange holds that key's lock.
    while (keysim::GetStats(slow.get()).requests == 0 && !slowDone) Sleep(1);
    int during = 0, wrong = 0;
    for (int i = 0; !slowDone; ++i) {
        const std::vector<uint8_t> p = Payload(0, 0, i);
        const Reply r = testsupport::Exchange(f, p);
        wrong += r.result != 0x9000 || r.body != p;
        if (!slowDone) ++during;
    }
    t.join();
    EXPECT_EQ(slowResult, 0x9000);
    EXPECT_EQ(wrong, 0);
    EXPECT_GE(during, 3) << "exchanges with the fast key waited for the slow one";
    OLVEX_Disconnect(s);
    OLVEX_Disconnect(f);
}

// A key whose lock a process left behind by ending without releasing it.
class AbandonedLock : public testing::Test {
protected:
    void Abandon(const char *serial, int status) {
        key_ = testsupport::PlugKey(testsupport::FreshSerial(serial), testsupport::Echo(status));
        ASSERT_TRUE(key_);
        path_ = keysim::DevicePath(key_.get());
        c_ = testsupport::ConnectTo(path_);
        ASSERT_NE(c_, nullptr);
        ASSERT_EQ(testsupport::FinishProcess(testsupport::StartSelf("--abandon " + testsupport::LockName(path_))), 0);
        ASSERT_TRUE(shim_.installed());
        PlatformShim::Reset();
    }
    void TearDown() override {
        if (c_) OLVEX_Disconnect(c_);
        c_ = nullptr;
    }
    testsupport::KeyPtr key_;
    std::string path_;
    OLVEX_HANDLE c_ = nullptr;
    testsupport::PlatformShim shim_;
};

TEST_F(AbandonedLock, NextExchangeTakesOverALockWhoseHolderDied) {
    Abandon("aband", 0x6A82);
    Reply r = testsupport::Exchange(c_, {4, 5, 6});
    EXPECT_EQ(r.result, 0x6A82);
    EXPECT_EQ(r.body, (std::vector<uint8_t>{4, 5, 6}));
    EXPECT_EQ(PlatformShim::Log().abandonedWaits, 1) << "the lock was not found abandoned";
    EXPECT_TRUE(testsupport::LockIsFree(path_));
    r = testsupport::Exchange(c_, {7});
    EXPECT_EQ(r.result, 0x6A82);
    const testsupport::CallLog log = PlatformShim::Log();
    EXPECT_EQ(log.Succeeded(testsupport::Api::WaitForSingleObject), 2);
    EXPECT_EQ(log.Succeeded(testsupport::Api::ReleaseMutex), 2);
}

// The drain after an abandoned lock needs a second handle to the key. Refused
// outright, the exchange goes on at once, as it would with nothing owed; refused
// as busy (the key still tearing down the dead program's handles), it is asked
// for again, and the drain then waits out the grace for an answer that is not
// owed here.
TEST_F(AbandonedLock, DrainOpensAgainOnlyWhileTheKeyIsBusy) {
    const struct {
        DWORD refusal;
        int opens;
        int withinMs;
    } rows[] = {{ERROR_ACCESS_DENIED, 1, 1500}, {ERROR_PIPE_BUSY, 2, 3500}};
    for (const auto &row : rows) {
        SCOPED_TRACE(row.refusal);
        TearDown();
        Abandon("abnd2", 0x9000);
        PlatformShim::Fail(testsupport::Api::CreateFileA, 1, row.refusal);
        const auto start = std::chrono::steady_clock::now();
        const Reply r = testsupport::Exchange(c_, {4, 5, 6});
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(row.withinMs));
        EXPECT_EQ(r.result, 0x9000);
        EXPECT_EQ(r.body, (std::vector<uint8_t>{4, 5, 6}));
        EXPECT_EQ(PlatformShim::Log().calls[int(testsupport::Api::CreateFileA)], row.opens);
        EXPECT_TRUE(testsupport::LockIsFree(path_));
    }
}

int main(int argc, char **argv) {
    setvbuf(stdout, nullptr, _IONBF, 0);
    if (argc >= 2 && std::strcmp(argv[1], "--exchanger") == 0) return ExchangerProcess(argc - 2, argv + 2);
    if (argc == 3 && std::strcmp(argv[1], "--abandon") == 0) return AbandonProcess(argv[2]);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
