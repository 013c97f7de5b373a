// olvexlib.hpp against virtual keys: listing, connections that close and move,
// the error code of each failure, time limits, and the longest body.
#include "olvexlib.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

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

double MsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

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

TEST(Timeouts, SilentKeyKeepsItsLockUntilClosedAndLaterCallersSendNothing) {
    KeyPtr key = Plug("silent", testsupport::WithMode(keysim::Mode::Silent));
    olvex::connection c = Open(key);
    const std::string path = c.path();
    std::error_code ec;
    const auto start = std::chrono::steady_clock::now();
    const olvex::response r = c.exchange(std::vector<uint8_t>{1, 2, 3}, 300ms, ec);
    const double ms = MsSince(start);
    EXPECT_EQ(ec, Win32(ERROR_TIMEOUT));
    EXPECT_GE(ms, 290);
    EXPECT_LT(ms, 5000);
    EXPECT_TRUE(r.body.empty());
    EXPECT_EQ(keysim::GetStats(key.get()).requests, 1u) << "the command was sent";
    EXPECT_FALSE(testsupport::LockIsFree(path)) << "the answer is still owed";
    c.exchange(std::vector<uint8_t>{4}, 100ms, ec);
    EXPECT_EQ(ec, Win32(WAIT_TIMEOUT));
    EXPECT_EQ(keysim::GetStats(key.get()).requests, 1u) << "nothing sent behind an owed answer";

    const olvex::connection other = Open(key);  // keeps the lock in being
    const auto closing = std::chrono::steady_clock::now();
    c.close(100ms, ec);
    EXPECT_FALSE(ec);
    EXPECT_LT(MsSince(closing), 2000) << "the grace and a bounded cancel";
    EXPECT_TRUE(testsupport::LockIsFree(path));
}

TEST(Timeouts, LockHeldElsewhereSendsNothing) {
    KeyPtr key = Plug("held");
    olvex::connection c = Open(key);
    HANDLE held = CreateEventA(nullptr, TRUE, FALSE, nullptr), release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::thread holder([&] {
        HANDLE lock = OpenMutexA(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, testsupport::LockName(c.path()).c_str());
        WaitForSingleObject(lock, INFINITE);
        SetEvent(held);
        WaitForSingleObject(release, INFINITE);
        ReleaseMutex(lock);
        CloseHandle(lock);
    });
    ASSERT_EQ(WaitForSingleObject(held, 5000), WAIT_OBJECT_0);
    std::error_code ec;
    const auto start = std::chrono::steady_clock::now();
    c.exchange(std::vector<uint8_t>{1}, 200ms, ec);
    EXPECT_EQ(ec, Win32(WAIT_TIMEOUT));
    EXPECT_GE(MsSince(start), 190);
    EXPECT_EQ(keysim::GetStats(key.get()).requests, 0u);
    SetEvent(release);
    holder.join();
    CloseHandle(held);
    CloseHandle(release);
    EXPECT_EQ(c.exchange(std::vector<uint8_t>{2}, 2s, ec).body, std::vector<uint8_t>{2});
    EXPECT_FALSE(ec);
}

TEST(Timeouts, SlowAnswerWithinTheLimitAndNoCancelLingersAfterward) {
    KeyPtr key = Plug("slow", testsupport::Echo(0x9000, 150));
    olvex::connection c = Open(key);
    std::error_code ec;
    EXPECT_EQ(c.exchange(std::vector<uint8_t>{1}, 3s, ec).body, std::vector<uint8_t>{1});
    EXPECT_FALSE(ec);
    // A limit the exchange did not need must not reach the next, untimed,
    // exchange of this thread once its time would have come.
    keysim::SetBehaviour(key.get(), testsupport::Echo());
    c.exchange(std::vector<uint8_t>{2}, 30ms, ec);
    ASSERT_FALSE(ec);
    keysim::SetBehaviour(key.get(), testsupport::Echo(0x9000, 300));
    EXPECT_EQ(c.exchange(std::vector<uint8_t>{3}, ec).body, std::vector<uint8_t>{3});
    EXPECT_FALSE(ec) << ec.value();
}

TEST(Timeouts, CancelFromAnotherThreadIsNotATimeout) {
    KeyPtr key = Plug("cancel", testsupport::WithMode(keysim::Mode::Silent));
    olvex::connection c = Open(key);
    const std::string path = c.path();
    std::error_code ec;
    std::thread canceller([&] {
        Sleep(100);
        c.cancel();
    });
    const auto start = std::chrono::steady_clock::now();
    c.exchange(std::vector<uint8_t>{1}, 30s, ec);
    EXPECT_LT(MsSince(start), 2000);
    canceller.join();
    EXPECT_EQ(ec, Win32(ERROR_OPERATION_ABORTED));
    const olvex::connection other = Open(key);
    c.close(0ms, ec);
    EXPECT_TRUE(testsupport::LockIsFree(path));
}
