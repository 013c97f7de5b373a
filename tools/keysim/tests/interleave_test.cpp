// The key-side interleaving detector: it must fire whenever a request arrives
// before an earlier exchange's response was wholly read, and never otherwise,
// however quickly the next request follows the last byte read.
#include <gtest/gtest.h>

#include <cstdio>

#include "support.h"

namespace {

using Bytes = std::vector<uint8_t>;

uint64_t WaitForRequests(keysim::Key *key, uint64_t n) {
    for (int i = 0; i < 200 && keysim::GetStats(key).requests < n; ++i) Sleep(10);
    return keysim::GetStats(key).requests;
}

TEST(Interleaving, RequestDuringAPartlyReadResponseCounts) {
    test::KeyPtr key = test::PlugKey("inter-partial", test::Length(1000));
    ASSERT_TRUE(key);
    HANDLE a = test::Open(keysim::DevicePath(key.get()));
    HANDLE b = test::Open(keysim::DevicePath(key.get()));
    ASSERT_TRUE(test::Send(a, test::Command({1})));
    Bytes part(256);
    DWORD n = 0;
    ASSERT_TRUE(ReadFile(a, part.data(), 256, &n, nullptr));
    ASSERT_TRUE(test::Send(b, test::Command({2})));
    ASSERT_EQ(2u, WaitForRequests(key.get(), 2));
    EXPECT_EQ(1u, keysim::GetStats(key.get()).interleaved);

    part.resize(747);
    ASSERT_TRUE(ReadFile(a, part.data(), 747, &n, nullptr));
    Bytes frame;
    ASSERT_TRUE(test::Receive(b, &frame));
    ASSERT_TRUE(test::Exchange(a, {3}, &frame));
    ASSERT_TRUE(test::Exchange(b, {4}, &frame));
    EXPECT_EQ(1u, keysim::GetStats(key.get()).interleaved);
    CloseHandle(a);
    CloseHandle(b);
}

TEST(Interleaving, RequestDuringTheKeysLatencyCounts) {
    keysim::Behaviour slow;
    slow.latencyMs = 200;
    test::KeyPtr key = test::PlugKey("inter-latency", slow);
    ASSERT_TRUE(key);
    HANDLE a = test::Open(keysim::DevicePath(key.get()));
    HANDLE b = test::Open(keysim::DevicePath(key.get()));
    ASSERT_TRUE(test::Send(a, test::Command({1})));
    ASSERT_TRUE(test::Send(b, test::Command({2})));
    Bytes frame;
    ASSERT_TRUE(test::Receive(a, &frame));
    EXPECT_EQ(1, frame[3]);
    ASSERT_TRUE(test::Receive(b, &frame));
    EXPECT_EQ(2, frame[3]);
    EXPECT_EQ(1u, keysim::GetStats(key.get()).interleaved);
    CloseHandle(a);
    CloseHandle(b);
}

TEST(Interleaving, SilentKeysExchangeNeverEnds) {
    keysim::Behaviour silent;
    silent.mode = keysim::Mode::Silent;
    test::KeyPtr key = test::PlugKey("inter-silent", silent);
    ASSERT_TRUE(key);
    HANDLE a = test::Open(keysim::DevicePath(key.get()));
    HANDLE b = test::Open(keysim::DevicePath(key.get()));
    ASSERT_TRUE(test::Send(a, test::Command({1})));
    ASSERT_TRUE(test::Send(b, test::Command({2})));
    WaitForRequests(key.get(), 2);
    EXPECT_EQ(1u, keysim::GetStats(key.get()).interleaved);
    CloseHandle(a);
    CloseHandle(b);
}

// The race the detector must not mistake for interleaving: the next request
// follows the last byte read at once, on another handle.
TEST(Interleaving, BackToBackExchangesOnSeveralHandlesNeverCount) {
    test::KeyPtr key = test::PlugKey("inter-tight", test::Length(1000));
    ASSERT_TRUE(key);
    HANDLE h[3];
    for (HANDLE &x : h) x = test::Open(keysim::DevicePath(key.get()));
    Bytes frame;
    for (int i = 0; i < 300; ++i) {
        if (i == 150) keysim::SetBehaviour(key.get(), {});  // short frames too
        ASSERT_TRUE(test::Exchange(h[i % 3], {uint8_t(i)}, &frame)) << i;
    }
    EXPECT_EQ(300u, keysim::GetStats(key.get()).requests);
    EXPECT_EQ(0u, keysim::GetStats(key.get()).interleaved);
    for (HANDLE x : h) CloseHandle(x);
}

// Runs this process and a child copy of it exchanging with one key at the
// same time; returns false when a client failed.
bool RaceTwoProcesses(keysim::Key *key, int iterations, const char *lock) {
    char ready[64], start[64];
    snprintf(ready, sizeof ready, "Local\\keysim-test-ready-%lu", GetCurrentProcessId());
    snprintf(start, sizeof start, "Local\\keysim-test-start-%lu", GetCurrentProcessId());
    HANDLE readyEvent = CreateEventA(nullptr, TRUE, FALSE, ready);
    HANDLE startEvent = CreateEventA(nullptr, TRUE, FALSE, start);
    HANDLE mutex = lock ? CreateMutexA(nullptr, FALSE, lock) : nullptr;
    std::string path = keysim::DevicePath(key);

    char self[MAX_PATH];
    GetModuleFileNameA(nullptr, self, sizeof self);
    std::string command = std::string("\"") + self + "\" --exchanger \"" + path + "\" " +
                          std::to_string(iterations) + " " + (lock ? lock : "-") + " " + ready + " " + start;
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return false;
    HANDLE h = test::Open(path);
    HANDLE waits[2] = {readyEvent, pi.hProcess};
    bool ok = WaitForMultipleObjects(2, waits, FALSE, 20000) == WAIT_OBJECT_0 && h != INVALID_HANDLE_VALUE;
    SetEvent(startEvent);
    Bytes frame;
    for (int i = 0; ok && i < iterations; ++i) {
        if (mutex) WaitForSingleObject(mutex, INFINITE);
        ok = test::Exchange(h, {uint8_t(i)}, &frame);
        if (mutex) ReleaseMutex(mutex);
    }
    DWORD code = 1;
    if (WaitForSingleObject(pi.hProcess, 30000) == WAIT_OBJECT_0) GetExitCodeProcess(pi.hProcess, &code);
    for (HANDLE x : {h, pi.hProcess, pi.hThread, readyEvent, startEvent, mutex})
        if (x && x != INVALID_HANDLE_VALUE) CloseHandle(x);
    return ok && code == 0;
}

TEST(Interleaving, TwoProcessesWithoutALockAreCaught) {
    // Each client spends nearly all its time inside an exchange, so nearly
    // every request lands inside the other's.
    keysim::Behaviour b = test::Length(1000);
    b.latencyMs = 5;
    test::KeyPtr key = test::PlugKey("inter-nolock", b);
    ASSERT_TRUE(key);
    ASSERT_TRUE(RaceTwoProcesses(key.get(), 40, nullptr));
    keysim::Stats s = keysim::GetStats(key.get());
    EXPECT_EQ(80u, s.requests);
    EXPECT_GT(s.interleaved, 0u);
    EXPECT_EQ(0u, s.malformed);
}

TEST(Interleaving, TwoProcessesSharingAMutexAreClean) {
    test::KeyPtr key = test::PlugKey("inter-lock", test::Length(1000));
    ASSERT_TRUE(key);
    ASSERT_TRUE(RaceTwoProcesses(key.get(), 150, "Local\\keysim-test-lock"));
    keysim::Stats s = keysim::GetStats(key.get());
    EXPECT_EQ(300u, s.requests);
    EXPECT_EQ(0u, s.interleaved);
}

}  // namespace
