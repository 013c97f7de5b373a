// What the soak controller, its worker processes and its key host share: a
// named block of counters that outlives any worker killed mid-count.
#pragma once
#include <windows.h>

#include <cstdint>
#include <string>

namespace soak {

constexpr int kMaxThreads = 16;
constexpr int kMaxSlots = 4096;  // worker threads' counter slots, one per spawn

struct WorkerCounters {
    volatile LONG64 exchanges;       // verified round trips, spare key included
    volatile LONG64 mismatches;      // a response that is not the echo of its request
    volatile LONG64 failures;        // a failed exchange with a key that stays plugged
    volatile LONG64 spareExchanges;  // attempts on the key that comes and goes
    volatile LONG64 spareFailures;   // of those, failed: it went away meanwhile
    volatile LONG64 abandonedSeen;   // WAIT_ABANDONED in the worker's own waits on a key lock
    // Per thread: 0 idle, or ThreadState(key, flags) of what it is doing now.
    volatile LONG state[kMaxThreads];
};

// What a worker thread is doing, as the controller sees it at a kill: which
// key (the spare is number `keys`), and whether the thread is inside
// an exchange and/or holds the key's lock itself.
constexpr LONG kInExchange = 1;
constexpr LONG kHoldingLock = 2;
constexpr LONG ThreadState(int key, LONG flags) { return LONG(key + 1) << 2 | flags; }
constexpr int StateKey(LONG state) { return int(state >> 2) - 1; }

struct Shared {
    volatile LONG64 sparePlugs;
    volatile LONG64 spareUnplugs;
    volatile LONG64 spareRequests;     // keysim counters of each spare key, summed at unplug
    volatile LONG64 spareInterleaved;
    volatile LONG64 spareMalformed;
    volatile LONG64 spareMisdelivered;
    WorkerCounters slots[kMaxSlots];
};

inline std::string ObjectName(unsigned run, const char *what) {
    return "Local\\olvex-soak-" + std::to_string(run) + "-" + what;
}
inline std::string KeySerial(unsigned run, int i) { return "soak-" + std::to_string(run) + "-k" + std::to_string(i); }
inline std::string SpareSerial(unsigned run) { return "soak-" + std::to_string(run) + "-spare"; }

// A thread's random numbers: xorshift, reproducible from the run's seed.
struct Random {
    uint64_t s;
    explicit Random(uint64_t seed) : s(seed * 0x9E3779B97F4A7C15ull + 1) {}
    uint32_t Next() {
        s ^= s << 13;
        s ^= s >> 7;
        s ^= s << 17;
        return uint32_t(s >> 16);
    }
    uint32_t Below(uint32_t n) { return Next() % n; }
};

struct WorkerConfig {
    unsigned run;
    int keys;
    int slot;
    uint64_t seed;
    HANDLE stop;    // set when the run ends
    HANDLE parent;  // the controller; a worker whose controller is gone stops
};

// Exchanges until `stop` is set; counts into shared->slots[config.slot].
void WorkerThread(const WorkerConfig &config, int thread, Shared *shared);

}  // namespace soak
