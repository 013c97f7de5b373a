// Planted faults for the Wine test guard: each test fails in one of the ways a
// broken library has been seen to, and the guard must turn every one of them
// into a failed entry whatever exit code Wine reports. Run one test at a time
// (--gtest_filter); only Faults.Passes is meant to pass. Started as
// `clear`, the program plays a keysim whose clear goes wrong.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

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

// A helper process crashes and the test never looks: its report is clean and
// its exit code 0, and only Wine's message in the log tells.
TEST(Faults, HelperProcessCrashesUnnoticed) {
    char self[MAX_PATH];
    GetModuleFileNameA(nullptr, self, sizeof self);
    std::string command = std::string("\"") + self + "\" --crash";
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    ASSERT_TRUE(CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi));
    WaitForSingleObject(pi.hProcess, 30000);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
}

namespace {

// Stands in for keysim when the guard clears keys after an entry:
// OLVEX_PLANTED_CLEAR=hang never returns, anything else fails.
int PlantedClear() {
    const char *how = getenv("OLVEX_PLANTED_CLEAR");
    if (how && strcmp(how, "hang") == 0) Sleep(INFINITE);
    fprintf(stderr, "planted: cannot clear\n");
    return 1;
}

}  // namespace

// Exits 0 even when tests failed, as a crashed Wine program has been seen to:
// the guard has nothing but the report to go on.
int main(int argc, char **argv) {
    setvbuf(stdout, nullptr, _IONBF, 0);
    if (argc == 2 && strcmp(argv[1], "--crash") == 0) Crash();
    if (argc == 2 && strcmp(argv[1], "clear") == 0) return PlantedClear();
    testing::InitGoogleTest(&argc, argv);
    // The planted fault: failures or not, exit 0.
    if (RUN_ALL_TESTS() != 0) return 0;
    return 0;
}
