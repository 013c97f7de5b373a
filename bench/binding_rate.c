/* binding_rate SLOT SLOTS TURNS SHORT_COUNT LONG_COUNT: OLVEX_DoCommand's
 * exchange time on keys 0 (short answers) and 1 (longest answers). The C side
 * of bench/bindings-bench.sh; the bindings' bench programs speak the same
 * protocol.
 *
 * The programs run at once and take turns: slot i waits for the event
 * Local\olvex-bench-turn-i, lets 20 ms pass, runs SHORT_COUNT exchanges on
 * key 0 and twice LONG_COUNT on key 1, and signals the next slot's event, so
 * that turn t of every program meets the same conditions. Turn 0 warms up
 * (kWarmUp times as many exchanges); each later turn prints "short SECONDS",
 * "long SECONDS" and "reuse SECONDS", the time its exchanges took. A binding
 * runs "long" through its plain exchange and "reuse" through its call that
 * answers into a buffer of the caller's; C has only the one call. */
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>

#include "olvexlib.h"

static double Now(void) {
    LARGE_INTEGER f, t;
    QueryPerformanceFrequency(&f);
    QueryPerformanceCounter(&t);
    return (double)t.QuadPart / (double)f.QuadPart;
}

static HANDLE Turn(int slot) {
    char name[64];
    snprintf(name, sizeof name, "Local\\olvex-bench-turn-%d", slot);
    return CreateEventA(NULL, FALSE, FALSE, name);
}

static unsigned char body[OLVEX_MAX_RESPONSE_BODY];

/* Turn 0 is this many turns long: the runtimes' compilers need thousands of
 * calls to settle. */
enum { kWarmUp = 25 };

/* Seconds taken by `count` exchanges, or -1 on a failure. */
static double Time(OLVEX_HANDLE c, int count) {
    static const unsigned char command[] = {0x80, 0x01, 0x02, 0x03};
    const double start = Now();
    for (int i = 0; i < count; ++i) {
        int length = 0;
        if (OLVEX_DoCommand(c, command, sizeof command, body, &length) != 0x9000) return -1;
    }
    return Now() - start;
}

int main(int argc, char **argv) {
    int count = 0;
    setvbuf(stdout, NULL, _IONBF, 0);
    if (argc != 6 || OLVEX_EnumDEV(&count) != OLVEX_OK || count < 2) {
        fprintf(stderr, "usage: binding_rate SLOT SLOTS TURNS SHORT_COUNT LONG_COUNT, with two keys plugged\n");
        return 2;
    }
    const int slot = atoi(argv[1]), slots = atoi(argv[2]), turns = atoi(argv[3]);
    const int shortCount = atoi(argv[4]), longCount = atoi(argv[5]);
    OLVEX_HANDLE shortKey = NULL, longKey = NULL;
    HANDLE mine = Turn(slot), next = Turn((slot + 1) % slots);
    if (OLVEX_Connect(&shortKey, NULL, 0) != OLVEX_OK || OLVEX_Connect(&longKey, NULL, 1) != OLVEX_OK || !mine ||
        !next) {
        fprintf(stderr, "binding_rate: cannot open the keys or the turn events\n");
        return 1;
    }
    for (int t = 0; t <= turns; ++t) {
        if ((t > 0 || slot > 0) && WaitForSingleObject(mine, 120000) != WAIT_OBJECT_0) {
            fprintf(stderr, "binding_rate: no turn within two minutes\n");
            return 1;
        }
        /* The previous program's runtime may still be busy on its own
         * threads (collections, pool threads winding down); on two cores that
         * slowed whoever came next by a tenth. */
        Sleep(20);
        const int w = t == 0 ? kWarmUp : 1;
        const double s = Time(shortKey, w * shortCount), l = Time(longKey, w * longCount),
                     u = Time(longKey, w * longCount);
        SetEvent(next);
        if (s < 0 || l < 0 || u < 0) {
            fprintf(stderr, "binding_rate: an exchange failed\n");
            return 1;
        }
        if (t > 0) printf("short %.7f\nlong %.7f\nreuse %.7f\n", s, l, u);
    }
    OLVEX_Disconnect(shortKey);
    OLVEX_Disconnect(longKey);
    return 0;
}
