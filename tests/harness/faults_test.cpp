// Planted faults for the Wine test guard: each test fails in one of the ways a
// broken library has been seen to, and the guard must turn every one of them
// into a failed entry whatever exit code Wine reports. Run one test at a time
// (--gtest_filter); only Faults.Passes is meant to pass.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

namespace {

void Crash() {
    volatile int *nowhere = nullptr;
    *nowhere = 1;
}

DWORD WINAPI CrashingWorker(void *) {
    Crash();
    return 0;
}

}  // namespace

TEST(Faults, Passes) { EXPECT_EQ(2, 1 + 1); }

// The shape exchange_tests had with short frames mis-sized: assertion
// failures reported, then a page fault on another thread.
TEST(Faults, AssertionThenCrashOnAWorkerThread) {
    EXPECT_EQ(3, 1 + 1) << "planted assertion failure";
    HANDLE worker = CreateThread(nullptr, 0, CrashingWorker, nullptr, 0, nullptr);
    ASSERT_NE(nullptr, worker);
    WaitForSingleObject(worker, INFINITE);
}

TEST(Faults, CrashOnTheMainThread) { Crash(); }

// Ends the program, successfully as far as its exit code goes, before the
// test below it has run.
TEST(Faults, ExitZeroBeforeTheRestHaveRun) { ExitProcess(0); }
TEST(Faults, NeverReached) { SUCCEED(); }

TEST(Faults, AssertionOnly) { EXPECT_EQ(3, 1 + 1) << "planted assertion failure"; }

// Exits 0 even when tests failed, as a crashed Wine program has been seen to:
// the guard has nothing but the report to go on.
int main(int argc, char **argv) {
    setvbuf(stdout, nullptr, _IONBF, 0);
    testing::InitGoogleTest(&argc, argv);
    (void)RUN_ALL_TESTS();
    return 0;
}
