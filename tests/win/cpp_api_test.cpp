// olvexlib.hpp against virtual keys: listing, connections that close and move,
// the error code of each failure, time limits, and the longest body.
#include "olvexlib.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "connection/lock_name.h"
#include "discovery/control_key.h"
#include "discovery/key_driver.h"
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

std::error_code Win32(DWORD code) { return std::error_code(int(code), std::system_category()); }

}  // namespace

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
