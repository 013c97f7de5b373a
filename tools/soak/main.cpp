// soak: several processes x threads x keys exchanging random echo payloads
// for a while, with worker processes killed mid-exchange and a spare key
// coming and going. Passes when no response mismatched, no exchange with a
// key that stayed plugged failed, no key saw interleaved exchanges, and the
// controller holds no more handles at the end than at the start.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "keysim.h"
#include "olvexlib.hpp"
#include "shared.h"
#include "support/keys.h"
#include "support/iat_hook.h"

using namespace soak;

namespace {

const char kUsage[] =
    "usage: soak [--seconds N] [--processes P] [--threads T] [--keys K] [--kill-ms MS] [--seed S]\n"
    "\n"
    "  --seconds N     how long to run (default 20)\n"
    "  --processes P   worker processes (default 3); killed ones are replaced\n"
    "  --threads T     exchanging threads per worker, and in the controller (default 2)\n"
    "  --keys K        echo keys that stay plugged (default 2), plus one spare\n"
    "                  key plugged and unplugged throughout\n"
    "  --kill-ms MS    mean time between worker kills (default 1500; 0: none)\n"
    "  --seed S        random seed (default: from the clock)\n"
    "\n"
    "Exit code 0 when every check holds, 1 when one fails, 2 on a usage error.\n";

struct Options {
    int seconds = 20, processes = 3, threads = 2, keys = 2, killMs = 1500;
    unsigned seed = 0;
};

Shared *MapShared(unsigned run, bool create, HANDLE *mapping) {
    const std::string name = ObjectName(run, "counters");
    *mapping = create ? CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, sizeof(Shared),
                                           name.c_str())
                      : OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, name.c_str());
    if (!*mapping) return nullptr;
    return static_cast<Shared *>(MapViewOfFile(*mapping, FILE_MAP_ALL_ACCESS, 0, 0, sizeof(Shared)));
}

// --keyhost RUN KEYS CONTROLLER_PID: serves the echo keys, plugged in order 30 ms apart so
// their attach order is their number, and plugs and unplugs the spare until
// the run's "keys-stop" event, or until the controller is gone.
int KeyHost(unsigned run, int keys, DWORD controller) {
    HANDLE mapping;
    Shared *shared = MapShared(run, false, &mapping);
    HANDLE stop = OpenEventA(SYNCHRONIZE, FALSE, ObjectName(run, "keys-stop").c_str());
    HANDLE ready = OpenEventA(EVENT_MODIFY_STATE, FALSE, ObjectName(run, "keys-ready").c_str());
    HANDLE parent = OpenProcess(SYNCHRONIZE, FALSE, controller);
    if (!shared || !stop || !ready || !parent) return 3;
    std::vector<keysim::Key *> plugged;
    // Each key is one channel, as a real one is: a worker killed between its
    // request and its answer leaves that answer owed, for the next exchange
    // that finds the key's lock abandoned to drop.
    for (int i = 0; i < keys; ++i) {
        keysim::KeyOptions o;
        o.serial = KeySerial(run, i);
        keysim::Key *key = keysim::Plug(o);
        if (!key) return 4;
        plugged.push_back(key);
        Sleep(30);
    }
    SetEvent(ready);
    Random r(run);
    keysim::Key *spare = nullptr;
    // Its counters go with it, so they are banked first.
    auto unplugSpare = [&] {
        const keysim::Stats s = keysim::GetStats(spare);
        InterlockedExchangeAdd64(const_cast<LONG64 *>(&shared->spareRequests), LONG64(s.requests));
        InterlockedExchangeAdd64(const_cast<LONG64 *>(&shared->spareInterleaved), LONG64(s.interleaved));
        InterlockedExchangeAdd64(const_cast<LONG64 *>(&shared->spareMalformed), LONG64(s.malformed));
        InterlockedExchangeAdd64(const_cast<LONG64 *>(&shared->spareMisdelivered), LONG64(s.misdelivered));
        keysim::Unplug(spare);
        spare = nullptr;
        InterlockedIncrement64(const_cast<LONG64 *>(&shared->spareUnplugs));
    };
    HANDLE ends[2] = {stop, parent};
    while (WaitForMultipleObjects(2, ends, FALSE, 300 + r.Below(900)) == WAIT_TIMEOUT) {
        if (spare) {
            unplugSpare();
        } else {
            keysim::KeyOptions o;
            o.serial = SpareSerial(run);
            spare = keysim::Plug(o);
            if (spare) InterlockedIncrement64(const_cast<LONG64 *>(&shared->sparePlugs));
        }
    }
    if (spare) unplugSpare();
    for (keysim::Key *key : plugged) keysim::Unplug(key);
    return 0;
}

// --worker RUN KEYS SLOT THREADS SEED PARENT: `THREADS` exchanging threads
// counting into slots SLOT.. until the run's "stop" event.
int Worker(char **argv) {
    WorkerConfig config;
    config.run = unsigned(strtoul(argv[0], nullptr, 10));
    config.keys = atoi(argv[1]);
    const int slot = atoi(argv[2]);
    const int threads = atoi(argv[3]);
    config.seed = strtoull(argv[4], nullptr, 10);
    config.parent = OpenProcess(SYNCHRONIZE, FALSE, DWORD(strtoul(argv[5], nullptr, 10)));
    HANDLE mapping;
    Shared *shared = MapShared(config.run, false, &mapping);
    config.stop = OpenEventA(SYNCHRONIZE, FALSE, ObjectName(config.run, "stop").c_str());
    if (!shared || !config.stop || threads < 1 || threads > kMaxThreads) return 3;
    config.slot = slot;
    std::vector<std::thread> running;
    for (int t = 0; t < threads; ++t) running.emplace_back([&config, t, shared] { WorkerThread(config, t, shared); });
    for (std::thread &t : running) t.join();
    return 0;
}

bool ParseInt(const char *text, int min, int max, int *out) {
    char *end = nullptr;
    const long v = strtol(text, &end, 10);
    if (!*text || *end || v < min || v > max) return false;
    *out = int(v);
    return true;
}

long long Sum(const Shared *shared, int slots, volatile const LONG64 WorkerCounters::*field) {
    long long n = 0;
    for (int i = 0; i < slots; ++i) n += shared->slots[i].*field;
    return n;
}

// Handles while nothing is in flight; pipe I/O leaves transient ones behind
// for a moment, so the least of a few looks.
long SettledHandles() {
    long least = testsupport::CountProcessHandles();
    for (int i = 0; i < 5; ++i) {
        Sleep(100);
        const long n = testsupport::CountProcessHandles();
        if (n < least) least = n;
    }
    return least;
}

int Controller(const Options &o) {
    // Unique among runs in one prefix, even when a process id comes round again
    // after a run that left keys behind.
    const unsigned run = (GetCurrentProcessId() & 0xFFFF) | (GetTickCount() << 16);
    HANDLE mapping;
    Shared *shared = MapShared(run, true, &mapping);
    HANDLE stop = CreateEventA(nullptr, TRUE, FALSE, ObjectName(run, "stop").c_str());
    HANDLE keysStop = CreateEventA(nullptr, TRUE, FALSE, ObjectName(run, "keys-stop").c_str());
    HANDLE keysReady = CreateEventA(nullptr, TRUE, FALSE, ObjectName(run, "keys-ready").c_str());
    if (!shared || !stop || !keysStop || !keysReady) {
        fprintf(stderr, "soak: cannot create the run's shared objects\n");
        return 1;
    }
    printf("soak: %d s, %d worker processes x %d threads (+%d threads in the controller), %d keys + 1 spare, "
           "seed %u\n",
           o.seconds, o.processes, o.threads, o.threads, o.keys, o.seed);

    HANDLE keyHost = testsupport::StartSelf("--keyhost " + std::to_string(run) + " " + std::to_string(o.keys) + " " +
                           std::to_string(GetCurrentProcessId()));
    HANDLE waits[2] = {keysReady, keyHost};
    if (!keyHost || WaitForMultipleObjects(2, waits, FALSE, 30000) != WAIT_OBJECT_0) {
        fprintf(stderr, "soak: the keys could not be plugged\n");
        if (keyHost) TerminateProcess(keyHost, 1);
        return 1;
    }

    // The controller exchanges too; a first round trip loads everything the
    // DLL and the system keep for good before the handles are counted.
    {
        std::error_code ec;
        const olvex::connection key(keysim::MakeDevicePath(KeySerial(run, 0)), ec);
        if (ec || olvex::key_count(ec) < o.keys || key.exchange(nullptr, 0, ec).status != 0x9000 || ec) {
            fprintf(stderr, "soak: the keys do not answer\n");
            SetEvent(keysStop);
            return 1;
        }
    }
    // A lock whose only holder dies dies with it, and its abandonment with
    // it: nobody can then know the key still owes that holder an answer. The
    // spare is visited, never held, so this bystander keeps its lock alive,
    // as the controller's own connections keep the other keys'.
    HANDLE spareLock =
        CreateMutexA(nullptr, FALSE, testsupport::LockName(keysim::MakeDevicePath(SpareSerial(run))).c_str());
    const long handlesBefore = SettledHandles();

    int nextSlot = 0;
    WorkerConfig local{run, o.keys, nextSlot++, o.seed, stop, nullptr};
    std::vector<std::thread> localThreads;
    for (int t = 0; t < o.threads; ++t)
        localThreads.emplace_back([&local, t, shared] { WorkerThread(local, t, shared); });

    struct Child {
        HANDLE process;
        int slot;
    };
    std::vector<Child> children;
    auto start = [&]() {
        const int slot = nextSlot++;
        HANDLE p = testsupport::StartSelf("--worker " + std::to_string(run) + " " + std::to_string(o.keys) + " " +
                         std::to_string(slot) + " " + std::to_string(o.threads) + " " + std::to_string(o.seed) + " " +
                         std::to_string(GetCurrentProcessId()));
        if (p) children.push_back({p, slot});
    };
    for (int i = 0; i < o.processes; ++i) start();

    Random r(o.seed);
    long long kills = 0, killsMidExchange = 0, killsHoldingLock = 0, unexpectedExits = 0;
    // Per key (the spare last): exchanges a killed worker left unfinished.
    std::vector<long long> cutShort(size_t(o.keys) + 1, 0);
    const ULONGLONG begin = GetTickCount64(), end = begin + ULONGLONG(o.seconds) * 1000;
    ULONGLONG nextKill = o.killMs ? begin + o.killMs / 2 + r.Below(unsigned(o.killMs)) : ~0ull;
    ULONGLONG nextReport = begin + 5000;
    for (ULONGLONG now = begin; now < end; now = GetTickCount64()) {
        Sleep(50);
        for (Child &c : children) {
            if (WaitForSingleObject(c.process, 0) == WAIT_OBJECT_0) {
                // A worker only ends on its own if something went wrong.
                ++unexpectedExits;
                CloseHandle(c.process);
                c.process = nullptr;
            }
        }
        if (now >= nextKill && !children.empty() && nextSlot < kMaxSlots) {
            Child &victim = children[r.Below(unsigned(children.size()))];
            if (victim.process) {
                // The dead threads' states are what they were doing when
                // killed; one that held a key lock leaves it abandoned.
                bool inExchange = false, holding = false;
                TerminateProcess(victim.process, 99);
                WaitForSingleObject(victim.process, INFINITE);
                for (int t = 0; t < o.threads; ++t) {
                    const LONG s = shared->slots[victim.slot].state[t];
                    if (s & kInExchange) {
                        inExchange = true;
                        ++cutShort[size_t(StateKey(s))];
                    }
                    holding |= (s & kHoldingLock) != 0;
                }
                ++kills;
                killsMidExchange += inExchange;
                killsHoldingLock += holding;
                CloseHandle(victim.process);
                victim.process = nullptr;
            }
            nextKill = now + unsigned(o.killMs) / 2 + r.Below(unsigned(o.killMs));
        }
        std::vector<Child> alive;
        for (Child &c : children)
            if (c.process) alive.push_back(c);
        children.swap(alive);
        while (int(children.size()) < o.processes && nextSlot < kMaxSlots) start();
        if (now >= nextReport) {
            fprintf(stderr, "  %3llu s: %lld exchanges, %lld kills\n", (now - begin) / 1000,
                    Sum(shared, nextSlot, &WorkerCounters::exchanges), kills);
            nextReport += 5000;
        }
    }

    SetEvent(stop);
    long long hung = 0;
    for (Child &c : children) {
        if (WaitForSingleObject(c.process, 60000) != WAIT_OBJECT_0) {
            ++hung;
            TerminateProcess(c.process, 98);
            WaitForSingleObject(c.process, INFINITE);
        }
        DWORD code = 0;
        GetExitCodeProcess(c.process, &code);
        if (code != 0 && code != 98) ++unexpectedExits;
        CloseHandle(c.process);
    }
    for (std::thread &t : localThreads) t.join();

    // The keys' own account of what they received, before they go away.
    // A worker killed between sending a request and reading the answer
    // leaves the key mid-exchange while its lock is already free again, so
    // the next request may count as interleaved; that is the key's view of
    // a dead peer, not a lapse of the lock. Each such kill excuses at most
    // one interleaving on its key; any beyond are failures.
    long long requests = 0, interleaved = 0, malformed = 0, misdelivered = 0, unexplained = 0;
    for (int k = 0; k <= o.keys; ++k) {
        keysim::Stats s;
        if (k == o.keys) {
            s.requests = uint64_t(shared->spareRequests);
            s.interleaved = uint64_t(shared->spareInterleaved);
            s.malformed = uint64_t(shared->spareMalformed);
            s.misdelivered = uint64_t(shared->spareMisdelivered);
        }
        if (k == o.keys || keysim::ReadStats(KeySerial(run, k), &s)) {
            requests += s.requests;
            interleaved += s.interleaved;
            malformed += s.malformed;
            misdelivered += s.misdelivered;
            if ((long long)s.interleaved > cutShort[size_t(k)]) unexplained += s.interleaved - cutShort[size_t(k)];
        } else {
            ++malformed;
            fprintf(stderr, "soak: no counters for key %d\n", k);
        }
    }
    SetEvent(keysStop);
    if (WaitForSingleObject(keyHost, 30000) != WAIT_OBJECT_0) TerminateProcess(keyHost, 1);
    CloseHandle(keyHost);
    const long handlesAfter = SettledHandles();
    if (spareLock) CloseHandle(spareLock);

    const int slots = nextSlot;
    const long long exchanges = Sum(shared, slots, &WorkerCounters::exchanges);
    const long long mismatches = Sum(shared, slots, &WorkerCounters::mismatches);
    const long long failures = Sum(shared, slots, &WorkerCounters::failures);
    const long long spare = Sum(shared, slots, &WorkerCounters::spareExchanges);
    const long long spareFailed = Sum(shared, slots, &WorkerCounters::spareFailures);
    const long long abandonedSeen = Sum(shared, slots, &WorkerCounters::abandonedSeen);

    printf("exchanges verified   %lld (%lld attempts on the spare key, %lld failed as it went away)\n", exchanges,
           spare, spareFailed);
    printf("mismatched responses %lld (%lld answers misdelivered, as the keys count them)\n", mismatches,
           misdelivered);
    printf("failed exchanges     %lld (keys that stayed plugged)\n", failures);
    long long cut = 0;
    for (long long n : cutShort) cut += n;
    printf("interleavings        %lld unexplained; %lld in all, after %lld exchanges cut short by kills\n",
           unexplained, interleaved, cut);
    printf("key counters         %lld requests (the spare's read as it is unplugged), %lld malformed\n", requests, malformed);
    printf("workers killed       %lld (%lld inside an exchange, %lld holding a key lock)\n", kills, killsMidExchange,
           killsHoldingLock);
    printf("abandoned locks      %lld left by kills; %lld WAIT_ABANDONED seen by workers' own waits\n",
           killsHoldingLock, abandonedSeen);
    printf("spare key            plugged %lld times, unplugged %lld times\n", (long long)shared->sparePlugs,
           (long long)shared->spareUnplugs);
    printf("worker trouble       %lld unexpected exits, %lld hung at the end\n", unexpectedExits, hung);
    printf("controller handles   %ld before, %ld after\n", handlesBefore, handlesAfter);

    const bool pass = exchanges > 0 && mismatches == 0 && misdelivered == 0 && failures == 0 && unexplained == 0 &&
                      malformed == 0 && unexpectedExits == 0 && hung == 0 && handlesBefore >= 0 &&
                      handlesAfter <= handlesBefore;
    printf("result               %s\n", pass ? "PASS" : "FAIL");
    // The test run's proof that the soak finished (a crash can exit 0).
    if (pass)
        printf("completed: soak %d s, %lld exchanges verified, %lld workers killed\n", o.seconds, exchanges, kills);
    UnmapViewOfFile(shared);
    CloseHandle(mapping);
    return pass ? 0 : 1;
}

}  // namespace

int main(int argc, char **argv) {
    setvbuf(stdout, nullptr, _IONBF, 0);
    if (argc == 5 && strcmp(argv[1], "--keyhost") == 0)
        return KeyHost(unsigned(strtoul(argv[2], nullptr, 10)), atoi(argv[3]), DWORD(strtoul(argv[4], nullptr, 10)));
    if (argc == 8 && strcmp(argv[1], "--worker") == 0) return Worker(argv + 2);
    Options o;
    o.seed = unsigned(GetTickCount());
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            fputs(kUsage, stdout);
            return 0;
        }
        int seed = 0;
        const bool ok = i + 1 < argc &&
                        (a == "--seconds"     ? ParseInt(argv[i + 1], 1, 86400, &o.seconds)
                         : a == "--processes" ? ParseInt(argv[i + 1], 1, 32, &o.processes)
                         : a == "--threads"   ? ParseInt(argv[i + 1], 1, kMaxThreads, &o.threads)
                         : a == "--keys"      ? ParseInt(argv[i + 1], 1, 8, &o.keys)
                         : a == "--kill-ms"   ? ParseInt(argv[i + 1], 0, 3600000, &o.killMs)
                         : a == "--seed"      ? (ParseInt(argv[i + 1], 0, 0x7FFFFFFF, &seed) && (o.seed = unsigned(seed), true))
                                              : false);
        if (!ok) {
            fprintf(stderr, "soak: bad option %s\n\n%s", a.c_str(), kUsage);
            return 2;
        }
        ++i;
    }
    return Controller(o);
}
