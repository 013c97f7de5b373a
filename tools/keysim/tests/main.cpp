// keysim_tests, or with --exchanger a client process the interleaving tests
// start: it exchanges frames with a key, under a named mutex or without one.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "support.h"

namespace {

// --exchanger PATH ITERATIONS LOCK|- READY START
int Exchanger(char **argv) {
    HANDLE lock = strcmp(argv[2], "-") ? CreateMutexA(nullptr, FALSE, argv[2]) : nullptr;
    HANDLE ready = OpenEventA(EVENT_MODIFY_STATE, FALSE, argv[3]);
    HANDLE start = OpenEventA(SYNCHRONIZE, FALSE, argv[4]);
    if (!ready || !start) return 3;
    SetEvent(ready);
    WaitForSingleObject(start, INFINITE);
    return test::Exchanges(argv[0], atoi(argv[1]), lock) ? 0 : 1;
}

// --hold SERIAL: serves a key in-process until ended from outside.
int Hold(const char *serial) {
    keysim::KeyOptions o;
    o.serial = serial;
    if (!keysim::Plug(o)) return 3;
    Sleep(INFINITE);
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    setvbuf(stdout, nullptr, _IONBF, 0);
    if (argc == 7 && strcmp(argv[1], "--exchanger") == 0) return Exchanger(argv + 2);
    if (argc == 3 && strcmp(argv[1], "--hold") == 0) return Hold(argv[2]);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
