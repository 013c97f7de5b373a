// A worker thread: random-length echo exchanges on every key through
// olvexlib.hpp and through OLVEX_DoCommand itself, some with a time limit,
// some under the key's lock taken by hand, with reconnections and visits to
// the spare. The keys are one channel each: a worker killed mid-exchange
// leaves its answer owed, which the next exchange that finds the lock
// abandoned must drop.
#include <cstring>
#include <vector>

#include "keysim.h"
#include "olvexlib.hpp"
#include "shared.h"
#include "support/keys.h"

namespace soak {
namespace {

olvex::connection Connect(const std::string &path) {
    std::error_code ec;
    return olvex::connection(path, ec);
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
// One in eight has a time limit that a plugged key always meets, unless this
// thread holds the key's lock itself: a timed exchange runs on the
// connection's thread, which would wait for it.
bool EchoExchange(const olvex::connection &c, bool holding, Random &r, std::vector<uint8_t> &payload,
                  std::vector<uint8_t> &response, Tally &tally) {
    payload.resize(PayloadLength(r));
    for (uint8_t &b : payload) b = uint8_t(r.Next());
    int length = -1;
    std::error_code ec;
    const std::chrono::milliseconds limit =
        !holding && r.Below(8) == 0 ? std::chrono::milliseconds(20000) : olvex::no_timeout;
    // One in four untimed ones is the library's call itself, as a C program
    // makes it: it must drop a dead worker's answer as the header does.
    const bool direct = limit == olvex::no_timeout && r.Below(4) == 0;
    const int status = direct ? OLVEX_DoCommand(c.native_handle(), payload.data(), int(payload.size()),
                                                response.data(), &length)
                              : c.exchange_into(payload.data(), payload.size(), limit, response.data(), &length, ec);
    if (status == OLVEX_FAIL) return false;
    const bool same = status == 0x9000 && length == int(payload.size()) &&
                      std::memcmp(response.data(), payload.data(), payload.size()) == 0;
    tally.Add(same ? &tally.c->exchanges : &tally.c->mismatches);
    return true;
}

}  // namespace

void WorkerThread(const WorkerConfig &config, int thread, Shared *shared) {
    WorkerCounters *counters = &shared->slots[config.slot];
    Tally tally{counters};
    volatile LONG *state = &counters->state[thread];
    Random r(config.seed + uint64_t(config.slot) * 131 + uint64_t(thread));
    std::vector<uint8_t> payload, response(OLVEX_MAX_RESPONSE_BODY);

    std::vector<std::string> paths;
    std::vector<olvex::connection> connections;
    std::vector<HANDLE> locks;
    for (int k = 0; k < config.keys; ++k) {
        paths.push_back(keysim::MakeDevicePath(KeySerial(config.run, k)));
        connections.push_back(Connect(paths[k]));
        locks.push_back(OpenMutexA(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, testsupport::LockName(paths[k]).c_str()));
    }
    const std::string sparePath = keysim::MakeDevicePath(SpareSerial(config.run));

    for (uint64_t round = 0; WaitForSingleObject(config.stop, 0) == WAIT_TIMEOUT; ++round) {
        if (round % 64 == 0 && config.parent && WaitForSingleObject(config.parent, 0) != WAIT_TIMEOUT) break;
        const int k = int(r.Below(uint32_t(config.keys)));
        if (!connections[k] || r.Below(200) == 0) {
            // Reconnecting now and then puts connect and disconnect under load too.
            connections[k] = Connect(paths[k]);
            if (!locks[k]) locks[k] = OpenMutexA(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, testsupport::LockName(paths[k]).c_str());
            if (!connections[k]) {
                tally.Add(&counters->failures);
                continue;
            }
        }
        // Holding the lock by hand is what a peer program may do; it is also
        // where a dead owner's abandoned lock becomes visible, and then the
        // answer it still owed is this thread's to drop.
        const bool byHand = locks[k] && r.Below(3) == 0;
        if (byHand) {
            const DWORD wait = WaitForSingleObject(locks[k], INFINITE);
            if (wait == WAIT_ABANDONED) {
                tally.Add(&counters->abandonedSeen);
                olvex::discard_owed(paths[k]);
            }
            InterlockedExchange(state, ThreadState(k, kHoldingLock));
        }
        InterlockedExchange(state, ThreadState(k, kInExchange | (byHand ? kHoldingLock : 0)));
        if (!EchoExchange(connections[k], byHand, r, payload, response, tally)) tally.Add(&counters->failures);
        InterlockedExchange(state, byHand ? ThreadState(k, kHoldingLock) : 0);
        if (byHand) {
            ReleaseMutex(locks[k]);
            InterlockedExchange(state, 0);
        }

        if (r.Below(100) == 0) {
            // The spare key: whether it is plugged now is anyone's guess.
            const olvex::connection spare = Connect(sparePath);
            for (int i = 0; spare && i < 4; ++i) {
                tally.Add(&counters->spareExchanges);
                InterlockedExchange(state, ThreadState(config.keys, kInExchange));
                const bool done = EchoExchange(spare, false, r, payload, response, tally);
                InterlockedExchange(state, 0);
                if (!done) {
                    tally.Add(&counters->spareFailures);
                    break;
                }
            }
        }
    }
    connections.clear();
    for (HANDLE lock : locks)
        if (lock) CloseHandle(lock);
}

}  // namespace soak
