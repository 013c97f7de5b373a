// What OLVEX_DoCommand costs over the bare platform calls it makes, and what
// OLVEX_EnumDEV costs per attached key. One process, virtual keys served by
// threads of this process.
//
// Build and run (64-bit build, Wine prefix of the build folder):
//   cmake --build build/h2 --target exchange_bench
//   cmake/wine-prefix start $PWD/build/h2/wineprefix
//   WINEPREFIX=$PWD/build/h2/wineprefix cmake/wine-run build/h2/bin/exchange_bench.exe [rounds]
//   cmake/wine-prefix stop $PWD/build/h2/wineprefix
//
// Wine pipe exchanges vary between 0.3 and 2 ms from run to run, so the two
// loops run in alternating rounds (ABAB...) and medians are reported.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "keysim.h"
#include "olvexlib.h"
#include "olvexlib.hpp"

namespace {

double Now() {
    static LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return double(t.QuadPart) / double(frequency.QuadPart);
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

std::string LockName(const std::string &path) {
    std::string name(path.rbegin(), path.rend());
    for (char &c : name)
        if (c == '\\') c = 'a';
    return name;
}

// The exchange done by hand: same lock, one write, the same reads, buffers
// allocated once.
class RawClient {
public:
    explicit RawClient(const std::string &path)
        : device_(CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, 0, nullptr)),
          lock_(OpenMutexA(MUTEX_ALL_ACCESS, FALSE, LockName(path).c_str())),
          response_(51200) {}
    ~RawClient() {
        if (lock_) CloseHandle(lock_);
        if (device_ != INVALID_HANDLE_VALUE) CloseHandle(device_);
    }
    bool ok() const { return device_ != INVALID_HANDLE_VALUE && lock_; }
    HANDLE lock() const { return lock_; }

    bool Exchange(const std::vector<uint8_t> &frame) {
        WaitForSingleObject(lock_, INFINITE);
        DWORD n = 0;
        bool ok = WriteFile(device_, frame.data(), DWORD(frame.size()), &n, nullptr) &&
                  ReadFile(device_, response_.data(), 256, &n, nullptr) && n >= 5 && response_[0] == 0x5A;
        if (ok) {
            const DWORD length = response_[1] | DWORD(response_[2]) << 8;
            if (length >= 254) ok = ReadFile(device_, response_.data() + 256, length - 253, &n, nullptr);
        }
        ReleaseMutex(lock_);
        return ok;
    }

private:
    HANDLE device_;
    HANDLE lock_;
    std::vector<uint8_t> response_;
};

int Find(const std::string &path) {
    int count = 0;
    OLVEX_EnumDEV(&count);
    for (int i = 0; i < count; ++i) {
        char found[300] = {};
        OLVEX_HANDLE c = nullptr;
        if (OLVEX_Connect(&c, found, i) != OLVEX_OK) continue;
        OLVEX_Disconnect(c);
        if (path == found) return i;
    }
    return -1;
}

// Two ways of making the same exchange, in alternating rounds on one key. A
// round is a callable run(perRound, failures) that returns its seconds, so
// that what a way needs around its loop stays out of the timing. The cost
// ratio is the second's time per exchange over the first's.
template <class First, class Second>
void CompareRounds(keysim::Key *key, uint32_t dataLength, int perRound, int rounds, const char *firstName,
                   First first, const char *secondName, Second second) {
    keysim::Behaviour b;
    b.mode = keysim::Mode::Length;
    b.dataLength = dataLength;
    keysim::SetBehaviour(key, b);
    std::vector<double> a, c, ratios;
    int failures = 0;
    for (int r = 0; r < rounds + 1; ++r) {  // round 0 warms both up and is dropped
        const double firstTime = first(perRound, failures), secondTime = second(perRound, failures);
        if (r == 0) continue;
        a.push_back(perRound / firstTime);
        c.push_back(perRound / secondTime);
        ratios.push_back(a.back() / c.back());
    }
    printf("data %5u bytes: %s %8.0f/s   %s %8.0f/s   cost ratio %.3f (median of %d paired rounds of %d;"
           " range %.3f-%.3f)%s\n",
           dataLength, firstName, Median(a), secondName, Median(c), Median(ratios), rounds, perRound,
           *std::min_element(ratios.begin(), ratios.end()), *std::max_element(ratios.begin(), ratios.end()),
           failures ? "  FAILURES" : "");
}

// A round of one exchange after another, each true when it succeeded.
template <class One> auto Loop(One one) {
    return [one](int perRound, int &failures) {
        const double start = Now();
        for (int i = 0; i < perRound; ++i) failures += !one();
        return Now() - start;
    };
}

template <class First, class Second>
void CompareCosts(keysim::Key *key, uint32_t dataLength, int perRound, int rounds, const char *firstName,
                  First first, const char *secondName, Second second) {
    CompareRounds(key, dataLength, perRound, rounds, firstName, Loop(first), secondName, Loop(second));
}

const std::vector<uint8_t> kPayload = {0x80, 0x01, 0x02, 0x03};

// The same exchange written by hand against OLVEX_DoCommand.
void CompareExchanges(keysim::Key *key, OLVEX_HANDLE connection, RawClient &raw, uint32_t dataLength,
                      int perRound, int rounds) {
    std::vector<uint8_t> frame = {0xA5, uint8_t(kPayload.size()), 0};
    frame.insert(frame.end(), kPayload.begin(), kPayload.end());
    std::vector<uint8_t> body(OLVEX_MAX_RESPONSE_BODY);
    const auto dll = [&] {
        int length = 0;
        return OLVEX_DoCommand(connection, kPayload.data(), int(kPayload.size()), body.data(), &length) == 0x9000;
    };
    CompareCosts(key, dataLength, perRound, rounds, "raw loop", [&] { return raw.Exchange(frame); },
                 "OLVEX_DoCommand", dll);
}

// olvexlib.hpp's exchanges: untimed (the library's own exchange, which sees
// an abandoned lock itself) against OLVEX_DoCommand, and timed (on the
// connection's thread, which takes the key's lock itself) against untimed.
// The same lock taken by hand around OLVEX_DoCommand is what seeing the
// abandonment above the library would cost: one more wait and release.
void CompareHeader(keysim::Key *key, OLVEX_HANDLE connection, HANDLE lock, const olvex::connection &c, int rounds) {
    std::vector<uint8_t> body(OLVEX_MAX_RESPONSE_BODY);
    const auto dll = [&] {
        int length = 0;
        return OLVEX_DoCommand(connection, kPayload.data(), int(kPayload.size()), body.data(), &length) == 0x9000;
    };
    const auto limited = [&](std::chrono::milliseconds t) {
        return [&, t] {
            int length = 0;
            std::error_code ec;
            return c.exchange_into(kPayload.data(), kPayload.size(), t, body.data(), &length, ec) == 0x9000;
        };
    };
    const auto locked = [&] {
        WaitForSingleObject(lock, INFINITE);
        const bool ok = dll();
        ReleaseMutex(lock);
        return ok;
    };
    printf("olvexlib.hpp without a time limit against OLVEX_DoCommand (goal: at most 1.03):\n");
    CompareCosts(key, 16, 200, rounds, "OLVEX_DoCommand", dll, "untimed", limited(olvex::no_timeout));
    CompareCosts(key, 51197, 40, rounds, "OLVEX_DoCommand", dll, "untimed", limited(olvex::no_timeout));
    printf("the key's lock taken by hand around OLVEX_DoCommand, against OLVEX_DoCommand:\n");
    CompareCosts(key, 16, 200, rounds, "OLVEX_DoCommand", dll, "locked", locked);
    printf("olvexlib.hpp, a time limit against none:\n");
    CompareCosts(key, 16, 200, rounds, "untimed", limited(olvex::no_timeout), "timed", limited(std::chrono::seconds(5)));
    CompareCosts(key, 51197, 40, rounds, "untimed", limited(olvex::no_timeout), "timed",
                 limited(std::chrono::seconds(5)));
}

// An untimed exchange inside a transaction (on the connection's thread, which
// holds the key's lock throughout) against one outside (on the caller's
// thread, taking the lock per exchange): the cost ratio is inside's time per
// exchange over outside's. Each round of inside is one transaction, begun and
// ended outside the timing, on a connection of its own so that outside's
// rounds never wait for it.
void CompareInside(keysim::Key *key, const olvex::connection &outside, const olvex::connection &inside,
                   uint32_t dataLength, int perRound, int rounds) {
    std::vector<uint8_t> body(OLVEX_MAX_RESPONSE_BODY);
    const auto one = [&](const olvex::exchanger &via) {
        int length = 0;
        std::error_code ec;
        return via.exchange_into(kPayload.data(), kPayload.size(), olvex::no_timeout, body.data(), &length, ec) ==
               0x9000;
    };
    const auto inTransaction = [&](int n, int &failures) {
        std::error_code ec;
        olvex::transaction tx = inside.begin(std::chrono::seconds(5), ec);
        failures += bool(ec);
        const double seconds = Loop([&] { return one(tx); })(n, failures);
        tx.end();
        return seconds;
    };
    CompareRounds(key, dataLength, perRound, rounds, "outside", Loop([&] { return one(outside); }), "inside",
                  inTransaction);
}

void TimeEnumeration(int rounds) {
    double base = 0;
    for (int keys : {0, 1, 5, 10}) {
        std::vector<keysim::Key *> plugged;
        for (int k = 0; k < keys; ++k) {
            keysim::KeyOptions o;
            o.serial = "bench" + std::to_string(GetCurrentProcessId()) + "x" + std::to_string(keys) + "x" +
                       std::to_string(k);
            plugged.push_back(keysim::Plug(o));
        }
        std::vector<double> times;
        int count = -1;
        for (int r = 0; r < rounds + 1; ++r) {
            const double start = Now();
            OLVEX_EnumDEV(&count);
            if (r > 0) times.push_back(Now() - start);
        }
        const double t = Median(times) * 1e3;
        if (keys == 0) {
            base = t;
            printf("OLVEX_EnumDEV, no key: %.3f ms\n", t);
        } else {
            printf("OLVEX_EnumDEV, %2d keys (found %d): %.3f ms, %.3f ms per key, %.3f ms per key over no key\n",
                   keys, count, t, t / keys, (t - base) / keys);
        }
        for (keysim::Key *k : plugged) keysim::Unplug(k);
    }
}

// What a listing through olvexlib.hpp (keys(): it opens and dates each key)
// costs per key, and what a polling key_watcher costs at rest.
void TimeWatching(int rounds) {
    std::vector<keysim::Key *> plugged;
    for (int k = 0; k < 3; ++k) {
        keysim::KeyOptions o;
        o.serial = "watch" + std::to_string(GetCurrentProcessId()) + "x" + std::to_string(k);
        plugged.push_back(keysim::Plug(o));
    }
    std::vector<double> times;
    size_t found = 0;
    for (int r = 0; r < rounds + 1; ++r) {
        std::error_code ec;
        const double start = Now();
        found = olvex::keys(ec).size();
        if (r > 0) times.push_back(Now() - start);
    }
    printf("olvex::keys(), %zu keys: %.3f ms, %.3f ms per key\n", found, Median(times) * 1e3,
           Median(times) * 1e3 / double(found ? found : 1));

    auto cpu = [] {
        FILETIME created, exited, kernel, user;
        GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
        auto ticks = [](const FILETIME &t) { return (ULONGLONG(t.dwHighDateTime) << 32 | t.dwLowDateTime) / 1e4; };
        return ticks(kernel) + ticks(user);
    };
    std::error_code ec;
    olvex::key_watcher w([](const olvex::key_event &) {}, ec);
    Sleep(500);  // the first listing and its events
    const double before = cpu(), start = Now();
    Sleep(10000);
    const double used = cpu() - before, elapsed = Now() - start;
    printf("key_watcher at rest with 3 keys (%s every %lld ms): %.0f ms CPU in %.1f s (%.2f%% of a core; the keys' servers in this process included)\n",
           w.notified() ? "notified, safety net" : "polling", (long long)olvex::key_watcher::default_interval.count(),
           used, elapsed, used / (elapsed * 10));
    w.stop();
    for (keysim::Key *k : plugged) keysim::Unplug(k);
}

}  // namespace

int main(int argc, char **argv) {
    setvbuf(stdout, nullptr, _IONBF, 0);
    const int rounds = argc > 1 ? atoi(argv[1]) : 15;
    keysim::KeyOptions options;
    options.serial = "bench" + std::to_string(GetCurrentProcessId());
    keysim::Key *key = keysim::Plug(options);
    if (!key) {
        fprintf(stderr, "cannot plug a virtual key\n");
        return 1;
    }
    const int index = Find(keysim::DevicePath(key));
    OLVEX_HANDLE connection = nullptr;
    if (index < 0 || OLVEX_Connect(&connection, nullptr, index) != OLVEX_OK) {
        fprintf(stderr, "cannot connect to the virtual key\n");
        return 1;
    }
    RawClient raw(keysim::DevicePath(key));  // after Connect, which made the lock
    if (!raw.ok()) {
        fprintf(stderr, "cannot open the key or its lock by hand\n");
        return 1;
    }
    printf("OLVEX_DoCommand against the same exchange written by hand (goal: at most 1.03, a rate of at least 0.97 of "
           "the hand-written one's):\n");
    CompareExchanges(key, connection, raw, 16, 200, rounds);
    CompareExchanges(key, connection, raw, 51197, 40, rounds);
    {
        std::error_code ec;
        const olvex::connection c(index, ec);
        if (ec) {
            fprintf(stderr, "cannot open the virtual key through olvexlib.hpp\n");
            return 1;
        }
        CompareHeader(key, connection, raw.lock(), c, rounds);
        const olvex::connection t(index, ec);
        if (ec) {
            fprintf(stderr, "cannot open the virtual key a second time through olvexlib.hpp\n");
            return 1;
        }
        printf("olvexlib.hpp, untimed inside a transaction against outside (goal: inside costs no more, at most 1.00):\n");
        CompareInside(key, c, t, 16, 200, rounds);
        CompareInside(key, c, t, 51197, 40, rounds);
    }
    OLVEX_Disconnect(connection);
    keysim::Unplug(key);
    TimeEnumeration(rounds);
    TimeWatching(rounds);
    return 0;
}
