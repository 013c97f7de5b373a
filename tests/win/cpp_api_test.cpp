// olvexlib.hpp against virtual keys: listing, connections that close and move,
// the error code of each failure, time limits, and the longest body.
#include "olvexlib.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <thread>

#include "connection/lock_name.h"
#include "discovery/control_key.h"
#include "discovery/key_driver.h"
#include "argument_table.h"
#include "support/keys.h"

using namespace std::chrono_literals;
using testsupport::KeyPtr;

namespace {

KeyPtr Plug(const char *stem, const keysim::Behaviour &b = testsupport::Echo()) {
    KeyPtr key = testsupport::PlugKey(testsupport::FreshSerial(stem), b);
    EXPECT_TRUE(key) << stem;
    return key;
}

// The connection to `key`, found by path among the listed keys.
olvex::connection Open(const KeyPtr &key) {
    const int index = testsupport::IndexOf(keysim::DevicePath(key.get()));
    EXPECT_GE(index, 0);
    std::error_code ec;
    olvex::connection c(index, ec);
    EXPECT_FALSE(ec) << ec.value();
    return c;
}

// keysim notices a client going only when its server thread next looks.
bool ClientsGo(const KeyPtr &key) {
    for (int i = 0; i < 250 && keysim::GetStats(key.get()).openHandles != 0; ++i) Sleep(20);
    return keysim::GetStats(key.get()).openHandles == 0;
}

std::error_code Win32(DWORD code) { return std::error_code(int(code), olvex::category()); }

}  // namespace

// First in this program: no listing has been made in its process yet.
TEST(Listing, OpeningByIndexBeforeAnyListingListsFirst) {
    ASSERT_FALSE(olvex::detail::listed()) << "this test must run before any other lists keys in this process";
    KeyPtr key = Plug("unlisted");
    olvex::connection c(0);
    EXPECT_EQ(c.path(), keysim::DevicePath(key.get()));
    EXPECT_TRUE(olvex::detail::listed());
    try {
        olvex::connection none(3);
        ADD_FAILURE() << "no exception";
    } catch (const std::system_error &e) {
        EXPECT_EQ(e.code().value(), ERROR_INVALID_PARAMETER);
        EXPECT_NE(std::string(e.what()).find("no key at index 3 of the last listing"), std::string::npos)
            << e.what();
    }
}

TEST(Listing, CountAndPathsComeOldestFirst) {
    std::error_code ec;
    EXPECT_EQ(olvex::key_count(ec), 0);
    EXPECT_FALSE(ec);
    EXPECT_TRUE(olvex::key_paths().empty());

    KeyPtr first = Plug("zzlist");
    Sleep(50);
    KeyPtr second = Plug("aalist");
    EXPECT_EQ(olvex::key_count(), 2);
    EXPECT_EQ(olvex::key_paths(),
              (std::vector<std::string>{keysim::DevicePath(first.get()), keysim::DevicePath(second.get())}));
    EXPECT_EQ(olvex::key_path(1), keysim::DevicePath(second.get()));
    EXPECT_TRUE(ClientsGo(first)) << "listing leaves no connection open";
}

// The header writes the key's rules itself, once; they must be the library's.
TEST(SharedRules, InterfaceClassLockNameAndAttachTimeKeyAreTheLibrarys) {
    EXPECT_EQ(std::memcmp(&olvex::detail::key_interface, &olvex::KEY_INTERFACE_GUID, sizeof(GUID)), 0);
    for (const std::string &path : {std::string("\\\\?\\usb#vid_1234&pid_5678#k1#{925fad44-e331-4116-b409-78fc2b51ea21}"),
                                   std::string("\\\\?\\a\\b"), std::string(259, 'p')}) {
        char name[olvex::DEVICE_PATH_SIZE];
        olvex::BuildLockName(path.c_str(), name);
        EXPECT_EQ(olvex::lock_name(path), name);
        char interfaceName[olvex::INTERFACE_NAME_SIZE], key[olvex::CONTROL_KEY_PATH_SIZE];
        olvex::BuildControlKeyPath(path.c_str(), interfaceName, key);
        EXPECT_EQ(olvex::detail::control_key(path), key);
    }
}

// Every module of a process that includes the header lists under one lock:
// Olvexkit.dll waits while this program holds its own.
TEST(Listing, EveryModuleTakesTheSameLock) {
    const HMODULE kit = LoadLibraryA("Olvexkit.dll");
    ASSERT_TRUE(kit);
    using count_fn = unsigned long(WINAPI *)(int *);
    const auto count = reinterpret_cast<count_fn>(reinterpret_cast<void (*)()>(GetProcAddress(kit, "OLVEXKIT_KeyCount")));
    ASSERT_TRUE(count);
    std::atomic<bool> listed{false};
    std::thread other;
    {
        const olvex::detail::listing_guard held;
        other = std::thread([&] {
            int n = -1;
            count(&n);
            listed = true;
        });
        Sleep(300);
        EXPECT_FALSE(listed) << "the kit listed while this program's header held the listing lock";
    }
    other.join();
    EXPECT_TRUE(listed);
    FreeLibrary(kit);
}

TEST(Connections, DestructorDisconnects) {
    KeyPtr key = Plug("dtor");
    {
        olvex::connection c = Open(key);
        ASSERT_TRUE(c.is_open());
        EXPECT_EQ(c.path(), keysim::DevicePath(key.get()));
        EXPECT_EQ(c.exchange(std::vector<uint8_t>{1, 2}).body, (std::vector<uint8_t>{1, 2}));
        EXPECT_EQ(keysim::GetStats(key.get()).openHandles, 1u);
    }
    EXPECT_TRUE(ClientsGo(key));
}

// A completion that closes its own connection: close() cannot wait for it,
// nor for the call reported behind it, yet still ends that call.
TEST(Connections, CloseFromInsideItsOwnCompletionReturnsAndEndsTheRest) {
    KeyPtr key = Plug("inside", testsupport::Echo(0x9000, 200));
    struct Shared {
        olvex::connection c;
        HANDLE closed = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        HANDLE second = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        DWORD secondError = 0;
        unsigned char body[2][olvex::max_response_body];
    } shared;
    shared.c = Open(key);
    struct Done {
        static void WINAPI First(void *self, olvex::call_id, DWORD, int, int) {
            auto *s = static_cast<Shared *>(self);
            s->c.close();
            SetEvent(s->closed);
        }
        static void WINAPI Second(void *self, olvex::call_id, DWORD error, int, int) {
            auto *s = static_cast<Shared *>(self);
            s->secondError = error;
            SetEvent(s->second);
        }
    };
    const unsigned char command = 1;
    std::error_code ec;
    const auto how = olvex::completions::one_at_a_time;
    shared.c.start(&command, 1, olvex::no_timeout, shared.body[0], &Done::First, &shared, ec, how);
    ASSERT_FALSE(ec);
    shared.c.start(&command, 1, olvex::no_timeout, shared.body[1], &Done::Second, &shared, ec, how);
    ASSERT_FALSE(ec);
    EXPECT_EQ(WaitForSingleObject(shared.closed, 5000), DWORD(WAIT_OBJECT_0)) << "close() waited for itself";
    EXPECT_EQ(WaitForSingleObject(shared.second, 5000), DWORD(WAIT_OBJECT_0));
    EXPECT_EQ(shared.secondError, DWORD(ERROR_OPERATION_ABORTED));
    EXPECT_TRUE(ClientsGo(key));
    CloseHandle(shared.closed);
    CloseHandle(shared.second);
}

TEST(Connections, MovesHandOverTheKeyAndAssignmentClosesTheOldOne) {
    KeyPtr a = Plug("movea"), b = Plug("moveb");
    olvex::connection first = Open(a);
    olvex::connection moved(std::move(first));
    EXPECT_FALSE(first.is_open());
    EXPECT_TRUE(first.path().empty());
    ASSERT_TRUE(moved);
    EXPECT_EQ(moved.path(), keysim::DevicePath(a.get()));

    std::error_code ec;
    first.exchange(std::vector<uint8_t>{1}, ec);
    EXPECT_EQ(ec, Win32(ERROR_INVALID_HANDLE)) << "a moved-from connection is closed";
    EXPECT_EQ(moved.exchange(std::vector<uint8_t>{7}).body, std::vector<uint8_t>{7});

    olvex::connection other = Open(b);
    EXPECT_EQ(other.exchange(std::vector<uint8_t>{9}).body, std::vector<uint8_t>{9});
    EXPECT_EQ(keysim::GetStats(b.get()).openHandles, 1u);
    other = std::move(moved);
    EXPECT_TRUE(ClientsGo(b)) << "assignment disconnects what it replaces";
    EXPECT_EQ(other.path(), keysim::DevicePath(a.get()));
    EXPECT_EQ(other.exchange(std::vector<uint8_t>{8}).body, std::vector<uint8_t>{8});
    EXPECT_EQ(keysim::GetStats(a.get()).openHandles, 1u);

    other.close();
    EXPECT_FALSE(other.is_open());
    EXPECT_TRUE(ClientsGo(a));
}

TEST(Errors, EachFailureNamesItsCause) {
    KeyPtr key = Plug("errors", testsupport::WithMode(keysim::Mode::WrongLead));
    std::error_code ec;
    ASSERT_EQ(olvex::key_count(ec), 1);

    olvex::connection none(1, ec);
    EXPECT_EQ(ec, Win32(ERROR_INVALID_PARAMETER)) << "index beyond the list";
    EXPECT_FALSE(none);

    olvex::connection c = Open(key);
    c.exchange(std::vector<uint8_t>{1}, ec);
    EXPECT_EQ(ec, Win32(ERROR_INVALID_DATA)) << "refused response";
    c.exchange(std::vector<uint8_t>(olvex::max_command + 1), ec);
    EXPECT_EQ(ec, Win32(ERROR_INVALID_PARAMETER)) << "command too long";
    c.exchange(nullptr, 1, ec);
    EXPECT_EQ(ec, Win32(ERROR_INVALID_PARAMETER)) << "no command bytes";
    c.exchange(std::vector<uint8_t>{1}, -1ms, ec);
    EXPECT_EQ(ec, Win32(ERROR_INVALID_PARAMETER)) << "negative time limit";

    keysim::SetBehaviour(key.get(), testsupport::Echo());
    const olvex::response r = c.exchange(std::vector<uint8_t>{5}, ec);
    EXPECT_FALSE(ec) << "a failure leaves nothing behind in the code";
    EXPECT_EQ(r.status, 0x9000);

    // The key goes between listing and opening.
    ASSERT_EQ(olvex::key_count(ec), 1);
    key.reset();
    olvex::connection gone(0, ec);
    EXPECT_EQ(ec, Win32(ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(gone);
}

TEST(Errors, ThrowingFormsCarryTheSameCode) {
    KeyPtr key = Plug("throws", testsupport::WithMode(keysim::Mode::ShortFirst));
    olvex::connection c = Open(key);
    try {
        c.exchange(std::vector<uint8_t>{1});
        ADD_FAILURE() << "no exception";
    } catch (const std::system_error &e) {
        EXPECT_EQ(e.code(), Win32(ERROR_INVALID_DATA));
    }
    try {
        olvex::connection none(5);
        ADD_FAILURE() << "no exception";
    } catch (const std::system_error &e) {
        EXPECT_EQ(e.code(), Win32(ERROR_INVALID_PARAMETER));
    }
    // Two keys with one serial: the text names both, so that a user can tell them apart.
    keysim::KeyOptions twin;
    twin.serial = "throws-twin";
    KeyPtr one(keysim::Plug(twin));
    twin.pid = 0x9999;
    KeyPtr other(keysim::Plug(twin));
    ASSERT_TRUE(one && other);
    try {
        olvex::connection::open_serial("THROWS-TWIN");
        ADD_FAILURE() << "no exception";
    } catch (const std::system_error &e) {
        EXPECT_EQ(e.code(), Win32(ERROR_AMBIGUOUS_SYSTEM_DEVICE));
        const std::string what = e.what();
        EXPECT_NE(what.find(keysim::DevicePath(one.get())), std::string::npos) << what;
        EXPECT_NE(what.find(keysim::DevicePath(other.get())), std::string::npos) << what;
    }
    std::error_code ec;
    EXPECT_FALSE(olvex::connection::open_serial("", ec));
    EXPECT_EQ(ec, Win32(ERROR_INVALID_PARAMETER)) << "an empty serial names no key";
}

// The words a program prints come from the library's table, under Wine too,
// and a lock held up by the connection's own late answer blames no one else.
TEST(Errors, TimeLimitsSayWhoHeldTheKeyAndCompareAsTimedOut) {
    KeyPtr key = Plug("ownlate", testsupport::WithMode(keysim::Mode::Silent));
    olvex::connection c = Open(key);
    std::error_code ec;
    c.exchange(std::vector<uint8_t>{1}, 100ms, ec);
    EXPECT_EQ(ec.value(), ERROR_TIMEOUT);
    EXPECT_TRUE(ec == std::errc::timed_out);
    EXPECT_FALSE(ec == std::errc::device_or_resource_busy);
    c.exchange(std::vector<uint8_t>{2}, 100ms, ec);
    EXPECT_EQ(ec.value(), WAIT_TIMEOUT);
    EXPECT_TRUE(ec == std::errc::timed_out);
    EXPECT_NE(ec.message().find("this connection's earlier exchange"), std::string::npos) << ec.message();

    // Another connection to the same key is held up by this one: another exchange.
    olvex::connection other = Open(key);
    other.exchange(std::vector<uint8_t>{3}, 100ms, ec);
    EXPECT_EQ(ec.value(), WAIT_TIMEOUT);
    EXPECT_NE(ec.message().find("another exchange or program held it"), std::string::npos) << ec.message();
    EXPECT_EQ(ec.message().find("Unknown error"), std::string::npos);
    c.close(0ms);
}

// The bindings word their errors through the kit, from the same table.
TEST(Errors, KitWordsEachCodeAsTheHeaderDoesAndReportsItsVersion) {
    const HMODULE kit = LoadLibraryA("Olvexkit.dll");
    ASSERT_TRUE(kit);
    using message_fn = unsigned long(WINAPI *)(unsigned long, char *, int, int *);
    using version_fn = unsigned long(WINAPI *)(unsigned long *);
    const auto message =
        reinterpret_cast<message_fn>(reinterpret_cast<void (*)()>(GetProcAddress(kit, "OLVEXKIT_ErrorMessage")));
    const auto version =
        reinterpret_cast<version_fn>(reinterpret_cast<void (*)()>(GetProcAddress(kit, "OLVEXKIT_Version")));
    ASSERT_TRUE(message && version);
    for (const unsigned long code : {258ul, 1460ul, 13ul, 87ul, 1359ul}) {
        char text[512];
        int needed = 0;
        EXPECT_EQ(message(code, text, sizeof text, &needed), 0u);
        EXPECT_EQ(text, olvex::error_message(int(code))) << code;
        EXPECT_EQ(needed, int(olvex::error_message(int(code)).size() + 1)) << code;
    }
    char cut[8];
    EXPECT_EQ(message(258, cut, sizeof cut, nullptr), 0u);
    EXPECT_EQ(std::string(cut), olvex::error_message(258).substr(0, 7)) << "cut short, still terminated";
    EXPECT_EQ(message(258, nullptr, 4, nullptr), unsigned(ERROR_INVALID_PARAMETER));

    // Asked right after the failure, on its thread: that failure's own words.
    using open_fn = unsigned long(WINAPI *)(void **, const char *);
    using exchange_fn = unsigned long(WINAPI *)(void *, const void *, int, void *, int *, int *, unsigned long);
    using close_fn = unsigned long(WINAPI *)(void *, unsigned long);
    const auto open = reinterpret_cast<open_fn>(reinterpret_cast<void (*)()>(GetProcAddress(kit, "OLVEXKIT_OpenPath")));
    const auto exchange =
        reinterpret_cast<exchange_fn>(reinterpret_cast<void (*)()>(GetProcAddress(kit, "OLVEXKIT_Exchange")));
    const auto close = reinterpret_cast<close_fn>(reinterpret_cast<void (*)()>(GetProcAddress(kit, "OLVEXKIT_Close")));
    ASSERT_TRUE(open && exchange && close);
    KeyPtr key = Plug("kitownlate", testsupport::WithMode(keysim::Mode::Silent));
    void *k = nullptr;
    ASSERT_EQ(open(&k, keysim::DevicePath(key.get()).c_str()), 0u);
    const unsigned char command[1] = {1};
    std::vector<unsigned char> body(olvex::max_response_body);
    int length = 0, status = 0;
    EXPECT_EQ(exchange(k, command, 1, body.data(), &length, &status, 100), unsigned(ERROR_TIMEOUT));
    EXPECT_EQ(exchange(k, command, 1, body.data(), &length, &status, 100), unsigned(WAIT_TIMEOUT));
    char own[512];
    EXPECT_EQ(message(WAIT_TIMEOUT, own, sizeof own, nullptr), 0u);
    EXPECT_NE(std::string(own).find("this connection's earlier exchange"), std::string::npos) << own;
    std::string elsewhere;
    std::thread([&] {
        char text[512];
        message(WAIT_TIMEOUT, text, sizeof text, nullptr);
        elsewhere = text;
    }).join();
    EXPECT_EQ(elsewhere, olvex::error_message(WAIT_TIMEOUT)) << "another thread has only the code";
    close(k, 0);

    unsigned long v = 0;
    EXPECT_EQ(version(&v), 0u);
    EXPECT_EQ(v, unsigned(OLVEXLIB_HPP_VERSION_MAJOR << 16 | OLVEXLIB_HPP_VERSION_MINOR << 8 |
                          OLVEXLIB_HPP_VERSION_PATCH));
    FreeLibrary(kit);
}

// Both conveniences run on the started call's own path: the same outcomes,
// cancellation by id, and every failure to start reported, never lost.
TEST(Started, CallablesWithCapturesAndFuturesGetTheOutcome) {
    KeyPtr key = Plug("callable");
    olvex::connection c = Open(key);
    std::error_code ec;
    std::promise<std::pair<std::error_code, olvex::response>> got;
    const std::vector<uint8_t> command{0x42, 1};
    const olvex::call_id id = c.start(command, 2000ms, [&got](const std::error_code &e, olvex::response r) {
        got.set_value({e, std::move(r)});
    }, ec);
    ASSERT_FALSE(ec) << ec.message();
    EXPECT_NE(id, 0u);
    const auto outcome = got.get_future().get();
    EXPECT_FALSE(outcome.first) << outcome.first.message();
    EXPECT_EQ(outcome.second.status, 0x9000);
    EXPECT_EQ(outcome.second.body.at(0), 0x42);

    std::future<olvex::response> f = c.exchange_async(std::vector<uint8_t>{0x43});
    EXPECT_EQ(f.get().body.at(0), 0x43);

    try {
        c.exchange_async(std::vector<uint8_t>{1}, 0ms).get();
        ADD_FAILURE() << "no exception";
    } catch (const std::system_error &e) {
        EXPECT_EQ(e.code().value(), ERROR_INVALID_PARAMETER) << "a failure to start comes through the future";
    }

    keysim::SetBehaviour(key.get(), testsupport::WithMode(keysim::Mode::Silent));
    std::promise<std::error_code> cancelled;
    const olvex::call_id late = c.start(command, olvex::no_timeout, [&cancelled](const std::error_code &e, olvex::response) {
        cancelled.set_value(e);
    }, ec);
    ASSERT_FALSE(ec);
    EXPECT_TRUE(c.cancel(late));
    EXPECT_TRUE(cancelled.get_future().get() == std::errc::operation_canceled);
    c.close(0ms);
}

TEST(Bodies, LongestBodyComesBackWhole) {
    KeyPtr key = Plug("longest", testsupport::Length(keysim::kMaxDataLength, 0x6A82));
    olvex::connection c = Open(key);
    const std::vector<uint8_t> command{0x11, 0x22};
    const olvex::response r = c.exchange(command);
    EXPECT_EQ(r.status, 0x6A82);
    ASSERT_EQ(r.body.size(), olvex::max_response_body);
    size_t wrong = 0;
    for (size_t i = 0; i < r.body.size(); ++i) wrong += r.body[i] != keysim::PatternByte(command, i);
    EXPECT_EQ(wrong, 0u);

    const olvex::response timed = c.exchange(command.data(), command.size(), 10s);
    EXPECT_EQ(timed.body, r.body);
    EXPECT_EQ(c.exchange(std::string()).body.size(), olvex::max_response_body) << "an empty command";
}

// Time limits: the timed-exchange scenario table (scenario_test.cpp).

namespace {

// One bad-argument row through the header's throwing forms.
void RunArgumentRow(const scenarios::ArgumentRow &row) {
    KeyPtr key = Plug(("arg-" + row.name).c_str());
    ASSERT_EQ(olvex::key_count(), 1);
    try {
        switch (row.call) {
            case scenarios::ArgumentRow::OpenIndex:
                olvex::connection(row.count ? olvex::key_count() : int(row.value));
                break;
            case scenarios::ArgumentRow::OpenPath:
                olvex::connection(row.path);
                break;
            case scenarios::ArgumentRow::ExchangeBytes:
                Open(key).exchange(std::vector<uint8_t>(size_t(row.value), 1));
                break;
            case scenarios::ArgumentRow::ExchangeTimeout:
                Open(key).exchange(std::vector<uint8_t>{1}, std::chrono::milliseconds(row.value));
                break;
            case scenarios::ArgumentRow::ExchangeClosed: {
                olvex::connection c = Open(key);
                c.close();
                c.exchange(std::vector<uint8_t>{1});
                break;
            }
        }
        ADD_FAILURE() << "no exception";
    } catch (const std::system_error &e) {
        EXPECT_EQ(unsigned(e.code().value()), row.code);
        EXPECT_NE(std::string(e.what()).find(row.says), std::string::npos) << e.what();
    }
    EXPECT_EQ(keysim::GetStats(key.get()).requests, 0u) << "nothing reaches the key";
}

// The rows whose mistake this layer can make.
const bool argumentsRegistered = scenarios::RegisterArgumentRows(
    OLVEX_ARGUMENT_TABLE, "cpp-", [](const scenarios::ArgumentRow &row) { return row.code != 0; },
    RunArgumentRow);

}  // namespace

// A transaction has the key to itself: one per connection, and the
// connection's own exchanges, timed, untimed or started, wait for its end.
TEST(Transactions, OnePerConnectionAndOutsideCallsWaitForItsEnd) {
    KeyPtr key = Plug("txwait");
    olvex::connection c = Open(key), other = Open(key);
    std::error_code ec;
    olvex::transaction tx = c.begin(1s, ec);
    ASSERT_FALSE(ec) << ec.value();

    const auto t0 = std::chrono::steady_clock::now();
    olvex::transaction second = c.begin(5s, ec);
    EXPECT_EQ(ec, Win32(ERROR_BUSY)) << "a connection has one transaction at a time";
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 1s) << "refused at once, not after the limit";
    EXPECT_FALSE(second.is_open());
    EXPECT_EQ(ec.message(), olvex::error_message(ERROR_BUSY));

    EXPECT_EQ(c.exchange(std::vector<uint8_t>{2}, 300ms, ec).body.size(), 0u);
    EXPECT_EQ(ec, Win32(WAIT_TIMEOUT)) << "the connection's own timed call waits for the transaction";
    other.exchange(std::vector<uint8_t>{2}, 300ms, ec);
    EXPECT_EQ(ec, Win32(WAIT_TIMEOUT)) << "so does another connection's";
    other.begin(200ms, ec);
    EXPECT_EQ(ec, Win32(WAIT_TIMEOUT)) << "and another connection's begin";

    std::atomic<bool> untimedDone{false};
    olvex::response untimed;
    std::thread outside([&] {
        untimed = c.exchange(std::vector<uint8_t>{4});
        untimedDone = true;
    });
    std::promise<olvex::response> startedOutside;
    c.start(std::vector<uint8_t>{5}, olvex::no_timeout,
            [&](const std::error_code &e, olvex::response r) {
                EXPECT_FALSE(e) << e.value();
                startedOutside.set_value(std::move(r));
            },
            ec);
    ASSERT_FALSE(ec);
    std::promise<olvex::response> startedInside;
    tx.start(std::vector<uint8_t>{3}, 5s,
             [&](const std::error_code &e, olvex::response r) {
                 EXPECT_FALSE(e) << e.value();
                 startedInside.set_value(std::move(r));
             },
             ec);
    ASSERT_FALSE(ec);
    EXPECT_EQ(tx.exchange(std::vector<uint8_t>{1}).body, std::vector<uint8_t>{1}) << "untimed, inside";
    EXPECT_EQ(tx.exchange(std::vector<uint8_t>{6}, 2s).body, std::vector<uint8_t>{6}) << "timed, inside";
    EXPECT_EQ(startedInside.get_future().get().body, std::vector<uint8_t>{3});
    Sleep(200);
    EXPECT_FALSE(untimedDone.load()) << "an untimed call outside went through";
    EXPECT_EQ(keysim::GetStats(key.get()).requests, 3u) << "only the transaction's commands reached the key";

    tx.end();
    outside.join();
    EXPECT_EQ(untimed.body, std::vector<uint8_t>{4});
    EXPECT_EQ(startedOutside.get_future().get().body, std::vector<uint8_t>{5});
    tx.exchange(std::vector<uint8_t>{7}, ec);
    EXPECT_EQ(ec, Win32(ERROR_INVALID_HANDLE)) << "an ended transaction";
    olvex::transaction again = c.begin(1s, ec);
    EXPECT_FALSE(ec) << "the connection may begin again once it has ended: " << ec.value();
}

// A begin still waiting for the key ends as a call does: cancel(), or a
// close of the connection, and the connection may begin again after.
TEST(Transactions, WaitingBeginEndsByCancelAndLeavesNothingHeld) {
    KeyPtr key = Plug("txcancel");
    olvex::connection holder = Open(key), c = Open(key);
    olvex::transaction held = holder.begin();
    std::error_code waited;
    std::thread waiting([&] { c.begin(waited); });
    Sleep(300);
    c.cancel();
    waiting.join();
    EXPECT_EQ(waited, Win32(ERROR_OPERATION_ABORTED));
    held.end();
    std::error_code ec;
    olvex::transaction tx = c.begin(2s, ec);
    EXPECT_FALSE(ec) << "nothing of the cancelled begin lingers: " << ec.value();
    EXPECT_EQ(tx.exchange(std::vector<uint8_t>{1}).body, std::vector<uint8_t>{1});
    c.close();
    EXPECT_EQ(holder.exchange(std::vector<uint8_t>{2}, 2s).body, std::vector<uint8_t>{2})
        << "a close inside a transaction gives the key back";
    tx.exchange(std::vector<uint8_t>{1}, ec);
    EXPECT_EQ(ec, Win32(ERROR_INVALID_HANDLE));
}

namespace {

struct BeginReport {
    HANDLE done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    unsigned long error = 0xFFFFFFFF;
    ~BeginReport() { CloseHandle(done); }
    static void WINAPI Done(void *self, unsigned long long, unsigned long error, int, int) {
        static_cast<BeginReport *>(self)->error = error;
        SetEvent(static_cast<BeginReport *>(self)->done);
    }
};

}  // namespace

// The kit takes a transaction wherever it takes a key, and its started begin
// reports whether the lock was had.
TEST(Transactions, KitTakesATransactionInPlaceOfItsKey) {
    const HMODULE kit = LoadLibraryA("Olvexkit.dll");
    ASSERT_TRUE(kit);
    using open_fn = unsigned long(WINAPI *)(void **, const char *);
    using exchange_fn = unsigned long(WINAPI *)(void *, const void *, int, void *, int *, int *, unsigned long);
    using close_fn = unsigned long(WINAPI *)(void *, unsigned long);
    using done_fn = void(WINAPI *)(void *, unsigned long long, unsigned long, int, int);
    using begin_fn = unsigned long(WINAPI *)(void *, unsigned long, unsigned long, done_fn, void *, void **);
    using end_fn = unsigned long(WINAPI *)(void *);
    const auto find = [kit](const char *name) { return reinterpret_cast<void (*)()>(GetProcAddress(kit, name)); };
    const auto open = reinterpret_cast<open_fn>(find("OLVEXKIT_OpenPath"));
    const auto exchange = reinterpret_cast<exchange_fn>(find("OLVEXKIT_Exchange"));
    const auto close = reinterpret_cast<close_fn>(find("OLVEXKIT_Close"));
    const auto begin = reinterpret_cast<begin_fn>(find("OLVEXKIT_Begin"));
    const auto end = reinterpret_cast<end_fn>(find("OLVEXKIT_End"));
    ASSERT_TRUE(open && exchange && close && begin && end);
    KeyPtr key = Plug("kittx");
    void *k = nullptr, *k2 = nullptr, *tx = nullptr, *tx2 = nullptr, *busy = nullptr;
    ASSERT_EQ(open(&k, keysim::DevicePath(key.get()).c_str()), 0u);
    ASSERT_EQ(open(&k2, keysim::DevicePath(key.get()).c_str()), 0u);
    ASSERT_EQ(begin(k, 1000, 0, nullptr, nullptr, &tx), 0u);
    EXPECT_EQ(begin(k, 1000, 0, nullptr, nullptr, &busy), unsigned(ERROR_BUSY));
    EXPECT_EQ(busy, nullptr);
    const unsigned char command[1] = {9};
    std::vector<unsigned char> body(olvex::max_response_body);
    int length = 0, status = 0;
    EXPECT_EQ(exchange(tx, command, 1, body.data(), &length, &status, 0xFFFFFFFFu), 0u) << "untimed, inside";
    EXPECT_EQ(length, 1);
    EXPECT_EQ(body[0], 9);
    EXPECT_EQ(exchange(k, command, 1, body.data(), &length, &status, 200), unsigned(WAIT_TIMEOUT));

    BeginReport report;
    ASSERT_EQ(begin(k2, 300, 0, &BeginReport::Done, &report, &tx2), 0u) << "started: returns at once";
    ASSERT_EQ(WaitForSingleObject(report.done, 5000), WAIT_OBJECT_0);
    EXPECT_EQ(report.error, unsigned(WAIT_TIMEOUT)) << "the other connection's transaction held the key";
    EXPECT_EQ(end(tx2), 0u) << "a begin that failed still needs its end, which frees it";

    EXPECT_EQ(end(tx), 0u);
    EXPECT_EQ(exchange(k, command, 1, body.data(), &length, &status, 2000), 0u) << "the key is back";
    EXPECT_EQ(end(k), unsigned(ERROR_INVALID_HANDLE)) << "a key is not a transaction";
    EXPECT_EQ(end(nullptr), 0u);
    close(k, 0);
    close(k2, 0);
    FreeLibrary(kit);
}
