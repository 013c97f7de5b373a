// A worker thread: random-length echo exchanges on every key, sometimes under
// the key's lock taken by hand, with reconnections and visits to the spare.
#include <cstring>
#include <vector>

#include "keysim.h"
#include "olvexlib.h"
#include "shared.h"
#include "support/keys.h"

namespace soak {
namespace {

CRITICAL_SECTION g_enumerate;

// Enumerates and opens key `index`, expecting the key at `path` there.
OLVEX_HANDLE Connect(int index, const std::string &path) {
    EnterCriticalSection(&g_enumerate);
    int count = 0;
    OLVEX_HANDLE h = nullptr;
    char got[OLVEX_PATH_SIZE] = {};
    if (OLVEX_EnumDEV(&count) == OLVEX_OK && index < count && OLVEX_Connect(&h, got, index) == OLVEX_OK &&
        path != got) {
        OLVEX_Disconnect(h);
        h = nullptr;
    }
    LeaveCriticalSection(&g_enumerate);
    return h;
}

uint32_t PayloadLength(Random &r) {
    const uint32_t pick = r.Below(100);
    if (pick < 70) return r.Below(65);
    if (pick < 97) return 65 + r.Below(2048);
    return r.Below(OLVEX_MAX_RESPONSE_BODY + 1);  // up to the largest body an echo can return
}

struct Tally {
    WorkerCounters *c;
    void Add(volatile LONG64 *field) { InterlockedIncrement64(const_cast<LONG64 *>(field)); }
};

// One exchange and its verification; false when the exchange itself failed.
bool EchoExchange(OLVEX_HANDLE h, Random &r, std::vector<uint8_t> &payload, std::vector<uint8_t> &response,
                  Tally &tally) {
    payload.resize(PayloadLength(r));
    for (uint8_t &b : payload) b = uint8_t(r.Next());
    int length = -1;
    const int status =
        OLVEX_DoCommand(h, payload.data(), int(payload.size()), response.data(), &length);
    if (status == OLVEX_FAIL) return false;
    const bool same = status == 0x9000 && length == int(payload.size()) &&
                      std::memcmp(response.data(), payload.data(), payload.size()) == 0;
    tally.Add(same ? &tally.c->exchanges : &tally.c->mismatches);
    return true;
}

}  // namespace

void InitProcessLock() { InitializeCriticalSection(&g_enumerate); }

void WorkerThread(const WorkerConfig &config, int thread, Shared *shared) {
    WorkerCounters *counters = &shared->slots[config.slot];
    Tally tally{counters};
    volatile LONG *state = &counters->state[thread];
    Random r(config.seed + uint64_t(config.slot) * 131 + uint64_t(thread));
    std::vector<uint8_t> payload, response(OLVEX_MAX_RESPONSE_BODY);

    std::vector<std::string> paths;
    std::vector<OLVEX_HANDLE> connections;
    std::vector<HANDLE> locks;
    for (int k = 0; k < config.keys; ++k) {
        paths.push_back(keysim::MakeDevicePath(KeySerial(config.run, k)));
        connections.push_back(Connect(k, paths[k]));
        locks.push_back(OpenMutexA(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, testsupport::LockName(paths[k]).c_str()));
    }
    const std::string sparePath = keysim::MakeDevicePath(SpareSerial(config.run));

    for (uint64_t round = 0; WaitForSingleObject(config.stop, 0) == WAIT_TIMEOUT; ++round) {
        if (round % 64 == 0 && config.parent && WaitForSingleObject(config.parent, 0) != WAIT_TIMEOUT) break;
        const int k = int(r.Below(uint32_t(config.keys)));
        if (!connections[k] || r.Below(200) == 0) {
            // Reconnecting now and then puts connect and disconnect under load too.
            OLVEX_Disconnect(connections[k]);
            connections[k] = Connect(k, paths[k]);
            if (!locks[k]) locks[k] = OpenMutexA(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, testsupport::LockName(paths[k]).c_str());
            if (!connections[k]) {
                tally.Add(&counters->failures);
                continue;
            }
        }
        // Holding the lock by hand is what a peer program may do; it is also
        // where a dead owner's abandoned lock becomes visible.
        const bool byHand = locks[k] && r.Below(3) == 0;
        if (byHand) {
            const DWORD wait = WaitForSingleObject(locks[k], INFINITE);
            if (wait == WAIT_ABANDONED) tally.Add(&counters->abandonedSeen);
            InterlockedExchange(state, ThreadState(k, kHoldingLock));
        }
        InterlockedExchange(state, ThreadState(k, kInExchange | (byHand ? kHoldingLock : 0)));
        if (!EchoExchange(connections[k], r, payload, response, tally)) tally.Add(&counters->failures);
        InterlockedExchange(state, byHand ? ThreadState(k, kHoldingLock) : 0);
        if (byHand) {
            ReleaseMutex(locks[k]);
            InterlockedExchange(state, 0);
        }

        if (r.Below(100) == 0) {
            // The spare key: whether it is plugged now is anyone's guess.
            EnterCriticalSection(&g_enumerate);
            int count = 0;
            OLVEX_HANDLE spare = nullptr;
            char got[OLVEX_PATH_SIZE] = {};
            if (OLVEX_EnumDEV(&count) == OLVEX_OK && count > config.keys &&
                OLVEX_Connect(&spare, got, config.keys) == OLVEX_OK && sparePath != got) {
                OLVEX_Disconnect(spare);
                spare = nullptr;
            }
            LeaveCriticalSection(&g_enumerate);
            for (int i = 0; spare && i < 4; ++i) {
                tally.Add(&counters->spareExchanges);
                InterlockedExchange(state, ThreadState(config.keys, kInExchange));
                const bool done = EchoExchange(spare, r, payload, response, tally);
                InterlockedExchange(state, 0);
                if (!done) {
                    tally.Add(&counters->spareFailures);
                    break;
                }
            }
            OLVEX_Disconnect(spare);
        }
    }
    for (int k = 0; k < config.keys; ++k) {
        OLVEX_Disconnect(connections[k]);
        if (locks[k]) CloseHandle(locks[k]);
    }
}

}  // namespace soak
