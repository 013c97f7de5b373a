// Keys coming and going through olvexlib.hpp: the key-events table, opening a
// key by its path, a removed key, and the notification path.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

#include "keysim.h"
#include "olvexlib.hpp"
#include "scenario_table.h"
#include "support/iat_hook.h"

namespace {

using namespace std::chrono_literals;

std::string Serial(int row, const std::string &key) { return "ev" + std::to_string(row) + key; }

class EventScenario : public testing::Test {
public:
    EventScenario(scenarios::EventRow row, int number) : row_(std::move(row)), number_(number) {}

    void TestBody() override {
        SRWLOCK lock = SRWLOCK_INIT;
        std::vector<std::string> seen;
        auto record = [&](const std::string &what) {
            AcquireSRWLockExclusive(&lock);
            seen.push_back(what);
            ReleaseSRWLockExclusive(&lock);
        };
        std::vector<std::string> plugged;
        std::unique_ptr<olvex::key_watcher> watcher;
        for (const std::string &text : row_.actions) {
            const scenarios::Action a = scenarios::ParseAction(text);
            if (a.verb == "plug") {
                ASSERT_EQ(scenarios::Keysim("plug --serial " + Serial(number_, a.key) + " " + a.rest), 0) << text;
                plugged.push_back(a.key + " " + a.rest);
            } else if (a.verb == "open") {
                record(OpenBySerial(a.key, plugged));
            } else if (a.verb == "unplug") {
                ASSERT_EQ(scenarios::Keysim("unplug --serial " + Serial(number_, a.key)), 0) << text;
            } else if (a.verb == "wait") {
                Sleep(DWORD(atoi(a.key.c_str())));
            } else if (a.verb == "watch") {
                const std::string options = a.key + " " + a.rest;
                const std::string stopOn = Option(options, "stop-on="), exchangeOn = Option(options, "exchange-on=");
                std::error_code ec;
                olvex::key_watcher **self = &watcherPtr_;
                watcher.reset(new olvex::key_watcher(
                    [&, stopOn, exchangeOn, self](const olvex::key_event &e) {
                        const std::string event = Describe(e);
                        record(event);
                        if (event == Spaced(stopOn)) (*self)->stop();
                        if (event == Spaced(exchangeOn)) {
                            std::error_code failure;
                            olvex::connection c(e.key.path, failure);
                            const olvex::response r = c.exchange(std::vector<uint8_t>{1}, 2s, failure);
                            if (!failure && r.body == std::vector<uint8_t>{1})
                                record("exchanged " + event.substr(event.find(' ') + 1));
                        }
                    },
                    ec, 100ms));
                watcherPtr_ = watcher.get();
                ASSERT_FALSE(ec) << ec.message();
            }
        }
        if (watcher) Sleep(2000);
        watcher.reset();
        for (const std::string &key : plugged) {
            const scenarios::Action a = scenarios::ParseAction("unplug " + key);
            scenarios::Keysim("unplug --serial " + Serial(number_, a.key) + " " + a.rest);
        }
        EXPECT_EQ(seen, row_.events);
    }

private:
    static std::string Option(const std::string &options, const std::string &name) {
        const size_t at = options.find(name);
        if (at == std::string::npos) return "";
        std::string v = options.substr(at + name.size());
        return v.substr(0, v.find(' '));
    }
    // "attached:A" -> "attached A"
    static std::string Spaced(std::string event) {
        const size_t colon = event.find(':');
        if (colon != std::string::npos) event[colon] = ' ';
        return event;
    }
    // The key is told by its serial, and the path must be the one keysim
    // makes from the event's serial, vendor and product.
    std::string Describe(const olvex::key_event &e) const {
        std::string key = "?";
        for (char k = 'A'; k <= 'Z'; ++k) {
            const std::string serial = Serial(number_, std::string(1, k));
            if (olvex::same_serial(e.key.serial, serial) &&
                e.key.path == keysim::MakeDevicePath(serial, e.key.vendor_id, e.key.product_id))
                key = std::string(1, k);
        }
        return std::string(e.what == olvex::key_event::attached ? "attached " : "removed ") + key;
    }

    // The paths keysim gave the plugs of key `letter` ("A --pid 9999").
    std::vector<std::string> PathsOf(const std::string &letter, const std::vector<std::string> &plugged) const {
        std::vector<std::string> paths;
        for (const std::string &p : plugged) {
            const scenarios::Action a = scenarios::ParseAction("plug " + p);
            if (a.key != letter) continue;
            const std::string vid = Option(a.rest, "--vid "), pid = Option(a.rest, "--pid ");
            paths.push_back(keysim::MakeDevicePath(Serial(number_, letter),
                                                   uint16_t(strtoul(vid.empty() ? "1234" : vid.c_str(), nullptr, 16)),
                                                   uint16_t(strtoul(pid.empty() ? "5678" : pid.c_str(), nullptr, 16))));
        }
        return paths;
    }

    // "opened K", "no key K", or "claimed twice K" when the failure names
    // every key plugged as K; anything else says what came instead.
    std::string OpenBySerial(const std::string &letter, const std::vector<std::string> &plugged) const {
        const std::vector<std::string> paths = PathsOf(letter, plugged);
        std::error_code ec;
        std::vector<std::string> claimants;
        olvex::connection c = olvex::connection::open_serial(Serial(number_, letter), ec, &claimants);
        if (!ec && paths.size() == 1 && c.path() == paths[0] && claimants == paths) return "opened " + letter;
        if (ec.value() == ERROR_DEVICE_NOT_CONNECTED && !c && paths.empty()) return "no key " + letter;
        std::sort(claimants.begin(), claimants.end());
        std::vector<std::string> sorted = paths;
        std::sort(sorted.begin(), sorted.end());
        if (ec.value() == ERROR_AMBIGUOUS_SYSTEM_DEVICE && !c && claimants == sorted && sorted.size() == 2)
            return "claimed twice " + letter;
        return "open " + letter + ": " + ec.message() + " with " + std::to_string(claimants.size()) + " claimant(s)";
    }

    scenarios::EventRow row_;
    int number_;
    olvex::key_watcher *watcherPtr_ = nullptr;
};

const bool registered = [] {
    std::string why;
    const auto rows = scenarios::LoadEvents(OLVEX_EVENT_TABLE, &why);
    return scenarios::RegisterRows("KeyEvents", rows, why,
                                   [](const auto &row, int number) { return new EventScenario(row, number); });
}();

struct Unplugger {
    void operator()(keysim::Key *key) const { keysim::Unplug(key); }
};
using KeyPtr = std::unique_ptr<keysim::Key, Unplugger>;

KeyPtr Plug(const std::string &serial, unsigned latencyMs = 0) {
    keysim::KeyOptions o;
    o.serial = serial;
    o.behaviour.latencyMs = latencyMs;
    KeyPtr key(keysim::Plug(o));
    EXPECT_NE(key, nullptr) << serial;
    return key;
}

TEST(ByPath, OpensTheSameKeyAfterOthersCameAndWent) {
    KeyPtr before = Plug("path-before");
    KeyPtr target = Plug("path-target");
    const std::string path = keysim::DevicePath(target.get());
    before.reset();
    KeyPtr after = Plug("path-after");  // the target is index 0 now, not 1
    std::error_code ec;
    olvex::connection c(path, ec);
    ASSERT_FALSE(ec) << ec.message();
    EXPECT_EQ(c.path(), path);
    EXPECT_EQ(c.exchange(std::vector<uint8_t>{7}, ec).body, std::vector<uint8_t>{7});
    EXPECT_EQ(keysim::GetStats(target.get()).requests, 1u);
    EXPECT_EQ(keysim::GetStats(after.get()).requests, 0u);

    olvex::connection none(keysim::MakeDevicePath("path-before"), ec);
    EXPECT_EQ(ec.value(), ERROR_DEVICE_NOT_CONNECTED);
    EXPECT_FALSE(none.is_open());
}

// Unplugged during a slow exchange (timed and not), or before one: every
// exchange reads as removed, and the connection still closes.
TEST(Removal, AnExchangeWithARemovedKeyIsDeviceNotConnectedAndTheConnectionCloses) {
    for (const bool timed : {false, true}) {
        KeyPtr key = Plug(timed ? "gone-timed" : "gone-untimed", 2000);
        std::error_code ec;
        olvex::connection c(keysim::DevicePath(key.get()), ec);
        ASSERT_FALSE(ec);
        std::thread unplug([&] {
            Sleep(300);
            key.reset();
        });
        if (timed) c.exchange(std::vector<uint8_t>{1}, 10s, ec);
        else c.exchange(std::vector<uint8_t>{1}, ec);
        unplug.join();
        EXPECT_EQ(ec.value(), ERROR_DEVICE_NOT_CONNECTED) << "timed " << timed << ": " << ec.message();
        c.exchange(std::vector<uint8_t>{2}, 1s, ec);
        EXPECT_EQ(ec.value(), ERROR_DEVICE_NOT_CONNECTED);
        const auto start = std::chrono::steady_clock::now();
        c.close(ec);
        EXPECT_FALSE(ec);
        EXPECT_LT(std::chrono::steady_clock::now() - start, 1500ms);
    }
}

// The notification path, which Wine does not have: GetProcAddress, as the
// header calls it from this program, hands out stand-ins that keep the
// watcher's callback, which the test then calls as the platform would, from
// a thread of its own. OLVEX_EnumDEV is counted, and where it ran.
namespace notify {
using Callback = DWORD(WINAPI *)(HANDLE, void *, int, void *, DWORD);
Callback callback = nullptr;
void *context = nullptr;
std::atomic<int> unregistered{0}, listings{0}, listedInside{0};
std::atomic<DWORD> platformThread{0};
FARPROC(WINAPI *realGetProcAddress)(HMODULE, LPCSTR) = nullptr;
int(OLVEX_API *realEnumDEV)(int *) = nullptr;

DWORD WINAPI Register(const void *, void *ctx, Callback cb, HANDLE *handle) {
    callback = cb;
    context = ctx;
    *handle = reinterpret_cast<HANDLE>(0x5EED);
    return 0;
}
DWORD WINAPI Unregister(HANDLE) {
    ++unregistered;
    return 0;
}
FARPROC WINAPI GetProcAddressStandIn(HMODULE module, LPCSTR name) {
    if (HIWORD(reinterpret_cast<ULONG_PTR>(name))) {
        if (strcmp(name, "CM_Register_Notification") == 0) return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(&Register));
        if (strcmp(name, "CM_Unregister_Notification") == 0) return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(&Unregister));
    }
    return realGetProcAddress(module, name);
}
int OLVEX_API CountingEnumDEV(int *count) {
    ++listings;
    if (GetCurrentThreadId() == platformThread) ++listedInside;
    return realEnumDEV(count);
}
}  // namespace notify

TEST(Notifications, EventsComeFromThemOffTheirThreadAndABurstListsOnce) {
    const HMODULE self = GetModuleHandleA(nullptr);
    testsupport::ImportHook gpa(self, "KERNEL32.dll", "GetProcAddress",
                                reinterpret_cast<void *>(&notify::GetProcAddressStandIn));
    testsupport::ImportHook enumdev(self, "Olvexlib.dll", "OLVEX_EnumDEV",
                                    reinterpret_cast<void *>(&notify::CountingEnumDEV));
    ASSERT_TRUE(gpa.installed() && enumdev.installed());
    notify::realGetProcAddress = gpa.original<decltype(notify::realGetProcAddress)>();
    notify::realEnumDEV = enumdev.original<decltype(notify::realEnumDEV)>();

    std::atomic<int> attached{0};
    std::error_code ec;
    {
        // Polling would list every 10 s: within this test only notifications
        // (and not the 5 s safety net) can bring an event.
        olvex::key_watcher w([&](const olvex::key_event &e) { attached += e.what == olvex::key_event::attached; },
                             ec, 10s);
        ASSERT_FALSE(ec);
        EXPECT_TRUE(w.notified());
        ASSERT_NE(notify::callback, nullptr);
        KeyPtr key = Plug("notified");
        Sleep(500);
        EXPECT_EQ(attached, 0) << "no notification yet, so no listing";
        const int before = notify::listings;
        double slowest = 0;
        std::thread platform([&] {
            notify::platformThread = GetCurrentThreadId();
            for (int i = 0; i < 20; ++i) {
                const auto start = std::chrono::steady_clock::now();
                notify::callback(reinterpret_cast<HANDLE>(0x5EED), notify::context, 0, nullptr, 0);
                slowest = (std::max)(slowest, std::chrono::duration<double, std::milli>(
                                                  std::chrono::steady_clock::now() - start).count());
            }
        });
        platform.join();
        for (int i = 0; i < 100 && attached == 0; ++i) Sleep(20);
        Sleep(300);
        EXPECT_EQ(attached, 1);
        EXPECT_EQ(notify::listings - before, 1) << "a burst of 20 notifications, one listing";
        EXPECT_EQ(notify::listedInside, 0) << "nothing listed inside the notification";
        EXPECT_LT(slowest, 20.0);
    }
    EXPECT_EQ(notify::unregistered, 1);
}

}  // namespace
