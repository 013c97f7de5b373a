// The key as one channel shared by every handle: where an owed answer goes
// when another request comes first, and the counters that give it away. The
// interleaving count must fire whenever a request arrives while an answer is
// still owed, and never otherwise, however quickly the next request follows
// the last byte read.
#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>

#include "support.h"

namespace {

using Bytes = std::vector<uint8_t>;

uint64_t WaitForRequests(keysim::Key *key, uint64_t n) {
    for (int i = 0; i < 200 && keysim::GetStats(key).requests < n; ++i) Sleep(10);
    return keysim::GetStats(key).requests;
}

// Steps, separated by spaces, on three handles A, B and C:
//   A>n   A sends payload {n}; the next step waits until the key has it
//   A!n   A sends payload {n} and goes on at once, as a client reading next does
//   A<n   A reads a whole frame (test::Receive) whose body starts with n
//   A:n   A reads one message of n bytes (the first read of a frame, or a rest)
//   A/n   A reads the first n bytes of a longer message
//   A.    nothing arrives for A
//   Ax    A closes its handle, as a client killed mid-exchange leaves it
//   ~     the key has started every answer it can: written, not yet read
struct ChannelCase {
    const char *name;
    keysim::Behaviour behaviour;
    const char *steps;
    uint64_t interleaved, misdelivered, drained;
    bool perHandle = false;
};

keysim::Behaviour Slow(keysim::Behaviour b = {}) {
    b.latencyMs = 300;
    return b;
}

const ChannelCase kChannelCases[] = {
    {"answer owed during the key's latency goes to the next requester first", Slow(), "A>1 B>2 B<1 B<2 A.", 1, 1, 0},
    {"answer written but unread moves to the next requester", {}, "A>1 ~ B>2 B<1 B<2 A.", 1, 1, 0},
    {"rest of a partly read long answer moves to the next requester", test::Length(1000),
     "A>1 A:256 ~ B>2 B:747 B<2 A.", 1, 1, 0},
    // Wine reports a cancelled write as not read at all even when the client
    // had read part of it: the whole write goes again, bytes A had included.
    {"a write read only in part moves whole", {}, "A>1 A/3 ~ B>2 B:6 B<2 A.", 1, 1, 0},
    {"answer of a handle closed during the latency goes to the next request", Slow(), "A>1 Ax B>2 B<1 B<2", 1, 1, 0},
    {"unread answer of a closed handle goes to the next request", {}, "A>1 ~ Ax B>2 B<1 B<2", 1, 1, 0},
    // On offer to C, or to B, when C asks and reads at once: C's read may
    // take it before the key has handled C's request.
    {"answer on offer goes to a client that asks and reads at once", {}, "A>1 ~ Ax ~ C!2 C<1 C<2", 1, 1, 0},
    {"answer of a handle closed during the latency goes to a client that only reads", Slow(),
     "A>1 Ax B<1 C>2 C<2 B.", 0, 0, 1},
    {"unread answer of a closed handle goes to a client that only reads", {}, "A>1 ~ Ax C<1 B>2 B<2 C.", 0, 0, 1},
    {"long answer of a closed handle goes whole to a client that only reads", Slow(test::Length(1000)),
     "A>1 Ax B<1 C>2 C<2", 0, 0, 1},
    {"rest of a long answer whose reader was closed goes to a client that only reads", test::Length(1000),
     "A>1 A:256 Ax B:747 C>2 C<2 B.", 0, 0, 1},
    {"same handle gets its own late answer", Slow(), "A>1 A>2 A<1 A<2", 1, 0, 0},
    {"two handles taking turns", Slow(), "A>1 A<1 B>2 B<2 A>3 A<3 B>4 B<4", 0, 0, 0},
    {"a key that answers per handle keeps answers apart", Slow(), "A>1 B>2 B<2 A<1", 1, 0, 0, true},
    {"a key that answers per handle forgets a closed handle's answer", Slow(), "A>1 Ax B>2 B<2 B.", 0, 0, 0, true},
};

TEST(Channel, OwedAnswersGoToTheHandleThatReadsNext) {
    int serial = 0;
    for (const ChannelCase &c : kChannelCases) {
        SCOPED_TRACE(c.name);
        keysim::KeyOptions o;
        o.serial = "channel-" + std::to_string(serial++);
        o.behaviour = c.behaviour;
        o.answerPerHandle = c.perHandle;
        test::KeyPtr key = test::PlugKey(o);
        ASSERT_TRUE(key);
        HANDLE h[3];
        for (HANDLE &x : h) {
            x = test::Open(keysim::DevicePath(key.get()));
            ASSERT_NE(INVALID_HANDLE_VALUE, x);
        }
        uint64_t sent = 0;
        std::istringstream steps(c.steps);
        for (std::string step; steps >> step;) {
            SCOPED_TRACE(step);
            if (step == "~") {
                for (int i = 0; i < 300 && keysim::GetStats(key.get()).processing; ++i) Sleep(10);
                Sleep(50);
                continue;
            }
            HANDLE &x = h[step[0] - 'A'];
            const char op = step[1];
            const int n = step.size() > 2 ? std::stoi(step.substr(2)) : 0;
            Bytes got;
            if (op == '>' || op == '!') {
                ASSERT_TRUE(test::Send(x, test::Command({uint8_t(n)})));
                ++sent;
                if (op == '>') {
                    ASSERT_EQ(sent, WaitForRequests(key.get(), sent));
                }
            } else if (op == '<') {
                // Never block on an answer that went elsewhere.
                ASSERT_TRUE(test::WaitPending(x, 3000));
                ASSERT_TRUE(test::Receive(x, &got));
                EXPECT_EQ(n, got[3]);
            } else if (op == ':') {
                ASSERT_TRUE(test::WaitPending(x, 3000));
                got.resize(4096);
                DWORD read = 0;
                ASSERT_TRUE(ReadFile(x, got.data(), DWORD(got.size()), &read, nullptr));
                EXPECT_EQ(DWORD(n), read);
            } else if (op == '/') {
                ASSERT_TRUE(test::WaitPending(x, 3000));
                got.resize(size_t(n));
                DWORD read = 0;
                // Success or ERROR_MORE_DATA, depending on the handle's read mode.
                ReadFile(x, got.data(), DWORD(n), &read, nullptr);
                EXPECT_EQ(DWORD(n), read);
            } else if (op == '.') {
                EXPECT_FALSE(test::WaitPending(x, 200));
            } else if (op == 'x') {
                CloseHandle(x);
                x = INVALID_HANDLE_VALUE;
            }
        }
        const keysim::Stats s = keysim::GetStats(key.get());
        EXPECT_EQ(sent, s.requests);
        EXPECT_EQ(c.interleaved, s.interleaved);
        EXPECT_EQ(c.misdelivered, s.misdelivered);
        EXPECT_EQ(c.drained, s.drained);
        for (HANDLE x : h)
            if (x != INVALID_HANDLE_VALUE) CloseHandle(x);
    }
}

// Once an answer is owed, everything the key writes goes to the handle that
// asked last: a third requester takes both earlier answers.
TEST(Channel, LaterRequestsTakeEveryOwedAnswerInArrivalOrder) {
    keysim::Behaviour b = Slow();
    test::KeyPtr key = test::PlugKey("channel-three", b);
    ASSERT_TRUE(key);
    HANDLE h[3];
    for (HANDLE &x : h) x = test::Open(keysim::DevicePath(key.get()));
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(test::Send(h[i], test::Command({uint8_t(i + 1)})));
        ASSERT_EQ(uint64_t(i + 1), WaitForRequests(key.get(), i + 1));
    }
    Bytes frame;
    const ULONGLONG start = GetTickCount64();
    for (int i = 1; i <= 3; ++i) {
        ASSERT_TRUE(test::WaitPending(h[2], 3000));
        ASSERT_TRUE(test::Receive(h[2], &frame));
        EXPECT_EQ(i, frame[3]);
    }
    // Each answer's latency runs from the end of the one before.
    EXPECT_GE(GetTickCount64() - start, 500u);
    EXPECT_EQ(0u, test::Pending(h[0]) + test::Pending(h[1]));
    const keysim::Stats s = keysim::GetStats(key.get());
    EXPECT_EQ(2u, s.interleaved);
    EXPECT_EQ(2u, s.misdelivered);
    for (HANDLE x : h) CloseHandle(x);
}

// What a test drops is read by no handle, whether the key still had it or
// had already written it; the key answers the next request as if fresh.
TEST(Channel, DroppedAnswersReachNoHandle) {
    for (unsigned latency : {300u, 0u}) {
        SCOPED_TRACE(latency);
        keysim::Behaviour b;
        b.latencyMs = latency;
        test::KeyPtr key = test::PlugKey("channel-drop-" + std::to_string(latency), b);
        ASSERT_TRUE(key);
        HANDLE a = test::Open(keysim::DevicePath(key.get()));
        HANDLE other = test::Open(keysim::DevicePath(key.get()));
        ASSERT_TRUE(test::Send(a, test::Command({1})));
        ASSERT_TRUE(test::Send(a, test::Command({2})));
        ASSERT_EQ(2u, WaitForRequests(key.get(), 2));
        if (!latency) {
            ASSERT_TRUE(test::WaitPending(a, 3000)) << "the first answer is written";
        }
        keysim::DropOwedAnswers(key.get());
        EXPECT_EQ(0u, test::Pending(a));
        Bytes frame;
        ASSERT_TRUE(test::Exchange(other, {3}, &frame));
        EXPECT_EQ(3, frame[3]);
        EXPECT_FALSE(test::WaitPending(a, 2 * latency + 100));
        EXPECT_EQ(0u, keysim::GetStats(key.get()).misdelivered);
        CloseHandle(a);
        CloseHandle(other);
    }
}

TEST(Channel, SilentKeyAnswersNoHandleAndItsExchangeNeverEnds) {
    keysim::Behaviour silent;
    silent.mode = keysim::Mode::Silent;
    test::KeyPtr key = test::PlugKey("inter-silent", silent);
    ASSERT_TRUE(key);
    HANDLE a = test::Open(keysim::DevicePath(key.get()));
    HANDLE b = test::Open(keysim::DevicePath(key.get()));
    ASSERT_TRUE(test::Send(a, test::Command({1})));
    ASSERT_EQ(1u, WaitForRequests(key.get(), 1));
    ASSERT_TRUE(test::Send(b, test::Command({2})));
    ASSERT_EQ(2u, WaitForRequests(key.get(), 2));
    ASSERT_TRUE(test::Send(a, test::Command({3})));
    ASSERT_EQ(3u, WaitForRequests(key.get(), 3));
    Sleep(200);
    EXPECT_EQ(0u, test::Pending(a) + test::Pending(b));
    keysim::Stats s = keysim::GetStats(key.get());
    EXPECT_EQ(2u, s.interleaved);
    EXPECT_EQ(0u, s.processing) << "a silent key has nothing to do";

    // Once the waiting handles are gone, the key is clean again.
    CloseHandle(a);
    CloseHandle(b);
    keysim::SetBehaviour(key.get(), {});
    for (int i = 0; i < 100 && keysim::GetStats(key.get()).openHandles; ++i) Sleep(20);
    HANDLE c = test::Open(keysim::DevicePath(key.get()));
    Bytes frame;
    ASSERT_TRUE(test::Exchange(c, {4}, &frame));
    EXPECT_EQ(4, frame[3]);
    EXPECT_EQ(2u, keysim::GetStats(key.get()).interleaved);
    CloseHandle(c);
}

// The race the detector must not mistake for interleaving: the next request
// follows the last byte read at once, on another handle.
TEST(Channel, BackToBackExchangesOnSeveralHandlesNeverCount) {
    test::KeyPtr key = test::PlugKey("inter-tight", test::Length(1000));
    ASSERT_TRUE(key);
    HANDLE h[3];
    for (HANDLE &x : h) x = test::Open(keysim::DevicePath(key.get()));
    Bytes frame;
    for (int i = 0; i < 300; ++i) {
        if (i == 150) keysim::SetBehaviour(key.get(), {});  // short frames too
        ASSERT_TRUE(test::Exchange(h[i % 3], {uint8_t(i)}, &frame)) << i;
        ASSERT_EQ(uint8_t(i), frame[3]) << i;
    }
    const keysim::Stats s = keysim::GetStats(key.get());
    EXPECT_EQ(300u, s.requests);
    EXPECT_EQ(0u, s.interleaved);
    EXPECT_EQ(0u, s.misdelivered);
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
    if (!keysim::StartProcess(command, false, 0, &si, &pi)) return false;
    HANDLE waits[2] = {readyEvent, pi.hProcess};
    bool ok = WaitForMultipleObjects(2, waits, FALSE, 20000) == WAIT_OBJECT_0;
    SetEvent(startEvent);
    ok = ok && test::Exchanges(path, iterations, mutex);
    DWORD code = 1;
    if (WaitForSingleObject(pi.hProcess, 30000) == WAIT_OBJECT_0) GetExitCodeProcess(pi.hProcess, &code);
    for (HANDLE x : {pi.hProcess, pi.hThread, readyEvent, startEvent, mutex})
        if (x) CloseHandle(x);
    return ok && code == 0;
}

TEST(Channel, TwoProcessesWithoutALockAreCaught) {
    // Each client spends nearly all its time inside an exchange, so nearly
    // every request lands inside the other's, and answers go astray.
    keysim::Behaviour b = test::Length(1000);
    b.latencyMs = 5;
    test::KeyPtr key = test::PlugKey("inter-nolock", b);
    ASSERT_TRUE(key);
    ASSERT_TRUE(RaceTwoProcesses(key.get(), 40, nullptr));
    keysim::Stats s = keysim::GetStats(key.get());
    EXPECT_EQ(80u, s.requests);
    EXPECT_GT(s.interleaved, 0u);
    EXPECT_GT(s.misdelivered, 0u);
    EXPECT_EQ(0u, s.malformed);
}

TEST(Channel, TwoProcessesSharingAMutexAreClean) {
    test::KeyPtr key = test::PlugKey("inter-lock", test::Length(1000));
    ASSERT_TRUE(key);
    ASSERT_TRUE(RaceTwoProcesses(key.get(), 150, "Local\\keysim-test-lock"));
    keysim::Stats s = keysim::GetStats(key.get());
    EXPECT_EQ(300u, s.requests);
    EXPECT_EQ(0u, s.interleaved);
    EXPECT_EQ(0u, s.misdelivered);
}

}  // namespace
