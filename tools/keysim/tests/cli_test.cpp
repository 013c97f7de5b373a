// The keysim program: keys it plugs are seen by other processes, and stopping
// it leaves nothing behind.
#include <aclapi.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>

#include "internal.h"
#include "support.h"

namespace {

using Bytes = std::vector<uint8_t>;

std::string InterfaceKey(const std::string &path) {
    std::string name = path;
    name[0] = name[1] = name[3] = '#';
    return "SYSTEM\\CurrentControlSet\\Control\\DeviceClasses\\" + std::string(keysim::kInterfaceGuid) + "\\" + name;
}

TEST(Cli, PlugServesOtherProcessesAndUnplugLeavesNoTrace) {
    ASSERT_EQ(0, test::RunHere("keysim.exe", "plug --serial cli-a --behaviour length --length 300 --status 6a82"));
    std::string path = keysim::MakeDevicePath("cli-a");
    EXPECT_TRUE(test::IsListed(path));
    HANDLE h = test::Open(path);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    Bytes frame;
    EXPECT_TRUE(test::Exchange(h, {5}, &frame));
    EXPECT_EQ(303u, frame.size());
    EXPECT_EQ(0x6A, frame[301]);
    EXPECT_EQ(0x82, frame[302]);

    keysim::Stats s;
    ASSERT_TRUE(keysim::ReadStats("cli-a", &s));
    EXPECT_EQ(1u, s.requests);
    EXPECT_EQ(1u, s.openHandles);
    EXPECT_EQ(test::Command({5}), s.lastRequest);
    EXPECT_EQ(0, test::RunHere("keysim.exe", "stats --serial cli-a"));
    EXPECT_NE(0, test::RunHere("keysim.exe", "plug --serial cli-a")) << "already plugged";

    EXPECT_EQ(0, test::RunHere("keysim.exe", "unplug --serial cli-a"));
    EXPECT_FALSE(test::IsListed(path));
    EXPECT_FALSE(test::Exchange(h, {5}, &frame));
    CloseHandle(h);
    EXPECT_EQ(INVALID_HANDLE_VALUE, test::Open(path));
    EXPECT_FALSE(test::RegistryKeyExists(InterfaceKey(path)));
    EXPECT_FALSE(test::RegistryKeyExists("SYSTEM\\CurrentControlSet\\Enum\\USB\\VID_1234&PID_5678\\cli-a"));
    EXPECT_FALSE(keysim::ReadStats("cli-a", &s));
    EXPECT_NE(0, test::RunHere("keysim.exe", "unplug --serial cli-a"));
}

TEST(Cli, RunServesEveryKeyOfAFileUntilAllAreUnplugged) {
    char dir[MAX_PATH];
    GetTempPathA(sizeof dir, dir);
    std::string file = std::string(dir) + "keysim-run-test.txt";
    FILE *f = fopen(file.c_str(), "w");
    ASSERT_TRUE(f);
    fputs("# two keys\n--serial run-1 --latency 10\n\n--serial run-2 --behaviour refuse  # listed only\n", f);
    fclose(f);

    test::Process run("keysim.exe", "run \"" + file + "\"");
    ASSERT_TRUE(run.Started());
    std::string one = keysim::MakeDevicePath("run-1"), two = keysim::MakeDevicePath("run-2");
    // A loaded machine can take seconds to start a Wine process.
    for (int i = 0; i < 800 && !(test::IsListed(one) && test::IsListed(two)); ++i) Sleep(25);
    EXPECT_TRUE(test::IsListed(one));
    EXPECT_TRUE(test::IsListed(two));
    HANDLE h = test::Open(one);
    Bytes frame;
    EXPECT_TRUE(test::Exchange(h, {1}, &frame));
    CloseHandle(h);
    EXPECT_EQ(INVALID_HANDLE_VALUE, test::Open(two));

    EXPECT_EQ(0, test::RunHere("keysim.exe", "unplug --serial run-1"));
    DWORD code = 1;
    EXPECT_FALSE(run.Wait(100, &code)) << "run-2 is still served";
    EXPECT_EQ(0, test::RunHere("keysim.exe", "unplug --serial run-2"));
    EXPECT_TRUE(run.Wait(10000, &code));
    EXPECT_EQ(0u, code);
    EXPECT_TRUE(test::ListPresent().empty());
    DeleteFileA(file.c_str());
}

// Whoever sees a key listed can unplug it at once: a `keysim run` whose key
// was listed before it could be unplugged served on after its test.
TEST(Cli, ServedKeyCanBeUnpluggedAsSoonAsItIsListed) {
    char dir[MAX_PATH];
    GetTempPathA(sizeof dir, dir);
    std::string file = std::string(dir) + "keysim-run-race.txt";
    const int keys = 12;
    FILE *f = fopen(file.c_str(), "w");
    ASSERT_TRUE(f);
    for (int i = 0; i < keys; ++i) fprintf(f, "--serial race-%d\n", i);
    fclose(f);

    test::Process run("keysim.exe", "run \"" + file + "\"");
    ASSERT_TRUE(run.Started());
    // Keys are plugged in file order; the interface's Control key is the last
    // thing a plug writes. Catch each the moment it appears.
    int late = 0;
    for (int i = 0; i < keys; ++i) {
        const std::string serial = "race-" + std::to_string(i);
        const std::string control = InterfaceKey(keysim::MakeDevicePath(serial)) + "\\Control";
        const ULONGLONG deadline = GetTickCount64() + 10000;
        while (!test::RegistryKeyExists(control) && GetTickCount64() < deadline) {
        }
        ASSERT_TRUE(test::RegistryKeyExists(control)) << serial << " was never listed";
        HANDLE stop = OpenEventA(SYNCHRONIZE, FALSE, ("Local\\keysim-stop-" + keysim::KeyId(serial)).c_str());
        late += stop == nullptr;
        if (stop) CloseHandle(stop);
    }
    EXPECT_EQ(0, late) << "keys listed before they could be unplugged";
    for (int i = 0; i < keys; ++i)
        EXPECT_EQ(0, test::RunHere("keysim.exe", "unplug --serial race-" + std::to_string(i)));
    DWORD code = 1;
    EXPECT_TRUE(run.Wait(10000, &code));
    EXPECT_EQ(0u, code);
    DeleteFileA(file.c_str());
}

TEST(Cli, FailedPlugSaysWhyAtOnceAndLeavesNothingRunning) {
    ASSERT_EQ(0, test::RunHere("keysim.exe", "plug --serial twice"));
    std::string out;
    const ULONGLONG start = GetTickCount64();
    EXPECT_EQ(1, test::RunHere("keysim.exe", "plug --serial twice", 20000, &out));
    EXPECT_LT(GetTickCount64() - start, 5000u);
    EXPECT_NE(std::string::npos, out.find("cannot plug twice: already plugged, served by process ")) << out;
    EXPECT_EQ(0, test::RunHere("keysim.exe", "unplug --serial twice"));
    EXPECT_TRUE(test::ListPresent().empty());
}

// A server that comes up after its plug gave up must not plug the key later:
// it would serve on, unseen, into whatever runs next.
TEST(Cli, PlugThatTimesOutEndsItsLateServer) {
    SetEnvironmentVariableA("KEYSIM_SERVE_DELAY_MS", "2000");
    SetEnvironmentVariableA("KEYSIM_PLUG_TIMEOUT_MS", "300");
    std::string out;
    const ULONGLONG start = GetTickCount64();
    const int code = test::RunHere("keysim.exe", "plug --serial late", 20000, &out);
    const ULONGLONG took = GetTickCount64() - start;
    SetEnvironmentVariableA("KEYSIM_SERVE_DELAY_MS", nullptr);
    SetEnvironmentVariableA("KEYSIM_PLUG_TIMEOUT_MS", nullptr);
    EXPECT_EQ(1, code);
    EXPECT_LT(took, 1900u);
    EXPECT_NE(std::string::npos, out.find("did not come up within 300 ms and was ended")) << out;
    Sleep(2500);
    EXPECT_FALSE(test::IsListed(keysim::MakeDevicePath("late")));
    keysim::Stats s;
    EXPECT_FALSE(keysim::ReadStats("late", &s));
}

// A key server started as `--hold SERIAL`: plugs in-process, never lets go.
TEST(Cli, ClearUnplugsServedKeysEndsHoldersAndRemovesWhatDeadServersLeft) {
    ASSERT_EQ(0, test::RunHere("keysim.exe", "plug --serial clear-served"));
    test::Process holder("keysim_tests.exe", "--hold clear-held");
    ASSERT_TRUE(holder.Started());
    const std::string held = keysim::MakeDevicePath("clear-held");
    for (int i = 0; i < 400 && !test::IsListed(held); ++i) Sleep(25);
    ASSERT_TRUE(test::IsListed(held));
    // What a server that died while serving leaves: the registry, nothing else.
    keysim::KeyOptions dead;
    dead.serial = "clear-dead";
    const std::string deadPath = keysim::MakeDevicePath(dead.serial);
    ASSERT_TRUE(keysim::detail::AddRegistry(keysim::detail::MakeRegistryNames(dead, deadPath), deadPath, true));
    ASSERT_EQ(3u, test::ListPresent().size());

    std::string out;
    EXPECT_EQ(0, test::RunHere("keysim.exe", "clear", 30000, &out));
    EXPECT_NE(std::string::npos, out.find("unplugged " + keysim::MakeDevicePath("clear-served") + ", served by"))
        << out;
    EXPECT_NE(std::string::npos, out.find("ended process ")) << out;
    EXPECT_NE(std::string::npos, out.find("removed " + deadPath + ", left by a server that is gone")) << out;
    DWORD code = 0;
    EXPECT_TRUE(holder.Wait(5000, &code));
    EXPECT_TRUE(test::ListPresent().empty());
    keysim::Stats s;
    EXPECT_FALSE(keysim::ReadStats("clear-served", &s));
    EXPECT_FALSE(test::RegistryKeyExists("SYSTEM\\CurrentControlSet\\Enum\\USB\\VID_1234&PID_5678\\clear-dead"));

    out.clear();
    EXPECT_EQ(0, test::RunHere("keysim.exe", "clear", 30000, &out));
    EXPECT_EQ("", out) << "nothing left to clear";
}

TEST(Cli, UsageAndBadOptions) {
    EXPECT_EQ(0, test::RunHere("keysim.exe", "--help"));
    for (const char *bad : {"plug --serial x --behaviour nonsense", "plug --latency 5", "frobnicate --serial x",
                            "hold --serial x", "hold --serial x --ms 5 --timeout 5", "exchange --serial x",
                            "exchange --serial x 0g", "exchange --serial x 01 02", "check --serial x",
                            "check --requests 1", "check --serial x --requests 1 --ms 5",
                            "exchange --serial x 01 --die-after", "exchange --serial x 01 --die-after -1",
                            "hold --serial x --ms 5 --die-after 5"})
        EXPECT_EQ(2, test::RunHere("keysim.exe", bad)) << bad;
}

// The lock's name as the library documents it, derived here on its own.
std::string LockOf(const std::string &serial) {
    std::string name = keysim::MakeDevicePath(serial);
    std::reverse(name.begin(), name.end());
    for (char &c : name)
        if (c == '\\') c = 'a';
    return name;
}

TEST(Cli, HoldOwnsTheKeysLockForItsTimeThenLetsGo) {
    std::string out;
    ASSERT_EQ(0, test::RunHere("keysim.exe", "hold --serial hold-a --ms 1500", 20000, &out));
    const ULONGLONG held = GetTickCount64();
    EXPECT_EQ(LockOf("hold-a") + "\r\n", out);
    HANDLE lock = OpenMutexA(SYNCHRONIZE | MUTEX_MODIFY_STATE | READ_CONTROL, FALSE, LockOf("hold-a").c_str());
    ASSERT_NE(nullptr, lock) << "hold creates the lock";
    EXPECT_EQ(DWORD(WAIT_TIMEOUT), WaitForSingleObject(lock, 0)) << "another process owns it";
    // Created as the library creates it: open to everyone (a null DACL, not none).
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    ASSERT_EQ(DWORD(ERROR_SUCCESS), GetSecurityInfo(lock, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                                    nullptr, &dacl, nullptr, &sd));
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    GetSecurityDescriptorControl(sd, &control, &revision);
    EXPECT_TRUE(control & SE_DACL_PRESENT);
    EXPECT_EQ(nullptr, dacl);
    LocalFree(sd);
    // Let go of, not abandoned, once its time is up.
    EXPECT_EQ(DWORD(WAIT_OBJECT_0), WaitForSingleObject(lock, 10000));
    EXPECT_GE(GetTickCount64() - held, 1000u);
    ReleaseMutex(lock);
    CloseHandle(lock);
}

TEST(Cli, HoldGivesUpOnALockHeldElsewhereWithAReason) {
    HANDLE lock = CreateMutexA(nullptr, TRUE, LockOf("hold-b").c_str());
    ASSERT_NE(nullptr, lock);
    SetEnvironmentVariableA("KEYSIM_PLUG_TIMEOUT_MS", "500");
    std::string out;
    EXPECT_EQ(1, test::RunHere("keysim.exe", "hold --serial hold-b --ms 100", 20000, &out));
    SetEnvironmentVariableA("KEYSIM_PLUG_TIMEOUT_MS", nullptr);
    EXPECT_NE(std::string::npos, out.find("the key's lock could not be held: its holder did not have it within 500 ms"))
        << out;
    ReleaseMutex(lock);
    EXPECT_EQ(0, test::RunHere("keysim.exe", "hold --serial hold-b --ms 100")) << "a free lock is had at once";
    CloseHandle(lock);
}

keysim::KeyOptions KeyWith(const std::string &serial, keysim::Mode mode, std::vector<std::vector<uint8_t>> script = {}) {
    keysim::KeyOptions o;
    o.serial = serial;
    o.behaviour.mode = mode;
    o.behaviour.script = std::move(script);
    return o;
}

TEST(Cli, ExchangeTellsItsOwnAnswerFromAnotherAndFromAFailure) {
    keysim::KeyOptions length = KeyWith("xchg-length", keysim::Mode::Length);
    length.behaviour.dataLength = 300;
    length.behaviour.status = 0x6A82;
    keysim::KeyOptions refusing = KeyWith("xchg-refuse", keysim::Mode::Echo);
    refusing.refuseOpen = true;
    const struct {
        keysim::KeyOptions key;
        const char *args;
        int code;
        const char *output;
    } cases[] = {
        {KeyWith("xchg-echo", keysim::Mode::Echo), "0102", 0, "9000 0102\n"},
        {length, "0701", 0, "6a82 0708090a0b"},
        {KeyWith("xchg-other", keysim::Mode::Script, {{0x5A, 0x03, 0x00, 0x77, 0x90, 0x00}}), "01", 1, "9000 77\n"},
        {KeyWith("xchg-empty", keysim::Mode::Script, {{0x5A, 0x02, 0x00, 0x90, 0x00}}), "01", 1, "9000 \n"},
        {KeyWith("xchg-lead", keysim::Mode::WrongLead), "01", 2, "not an answer: 5b0300019000"},
        {KeyWith("xchg-cut", keysim::Mode::ShortSecond), "01", 2, "the rest of a long answer did not come whole"},
        {KeyWith("xchg-silent", keysim::Mode::Silent), "01 --timeout 300", 2, "no answer within 300 ms"},
        {refusing, "01", 2, "cannot open the key"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.key.serial);
        keysim::KeyOptions o = c.key;
        if (o.behaviour.mode == keysim::Mode::ShortSecond) o.behaviour.dataLength = 1000;
        test::KeyPtr key = test::PlugKey(o);
        ASSERT_TRUE(key);
        // Kept open, so that a lock the exchange failed to give back would
        // be found abandoned.
        HANDLE lock = CreateMutexA(nullptr, FALSE, LockOf(o.serial).c_str());
        ASSERT_NE(nullptr, lock);
        std::string out;
        EXPECT_EQ(c.code, test::RunHere("keysim.exe", "exchange --serial " + o.serial + " " + c.args, 20000, &out));
        out.erase(std::remove(out.begin(), out.end(), '\r'), out.end());
        EXPECT_NE(std::string::npos, out.find(c.output)) << out;
        EXPECT_EQ(DWORD(WAIT_OBJECT_0), WaitForSingleObject(lock, 0));
        ReleaseMutex(lock);
        CloseHandle(lock);
    }
    EXPECT_EQ(2, test::RunHere("keysim.exe", "exchange --serial xchg-unplugged 01")) << "no such key";
}

// A peer killed mid-exchange: its request sent, its lock abandoned, its
// answer owed; a client that only reads takes that answer, and the key counts
// it drained, which check lets pass.
TEST(Cli, ExchangeThatDiesAfterSendingLeavesItsLockAbandonedAndItsAnswerOwed) {
    keysim::Behaviour slow;
    slow.latencyMs = 500;
    test::KeyPtr key = test::PlugKey("xchg-dies", slow);
    ASSERT_TRUE(key);
    HANDLE lock = CreateMutexA(nullptr, FALSE, LockOf("xchg-dies").c_str());
    ASSERT_NE(nullptr, lock);
    EXPECT_EQ(4, test::RunHere("keysim.exe", "exchange --serial xchg-dies 07 --die-after 100"));
    EXPECT_EQ(DWORD(WAIT_ABANDONED), WaitForSingleObject(lock, 0));
    ReleaseMutex(lock);
    CloseHandle(lock);

    HANDLE reader = test::Open(keysim::DevicePath(key.get()));
    Bytes frame;
    ASSERT_TRUE(test::WaitPending(reader, 3000));
    ASSERT_TRUE(test::Receive(reader, &frame));
    EXPECT_EQ(7, frame[3]);
    CloseHandle(reader);
    std::string out;
    EXPECT_EQ(0, test::RunHere("keysim.exe", "check --serial xchg-dies --requests 1", 20000, &out)) << out;
    EXPECT_EQ(0, test::RunHere("keysim.exe", "stats --serial xchg-dies", 20000, &out));
    EXPECT_NE(std::string::npos, out.find("interleaved=0 misdelivered=0 drained=1 ")) << out;
}

TEST(Cli, ExchangeWaitsForTheLockAsLongAsItsTimeout) {
    test::KeyPtr key = test::PlugKey("xchg-held");
    ASSERT_TRUE(key);
    ASSERT_EQ(0, test::RunHere("keysim.exe", "hold --serial xchg-held --ms 1500"));
    EXPECT_EQ(3, test::RunHere("keysim.exe", "exchange --serial xchg-held 01 --timeout 200"));
    EXPECT_EQ(0u, keysim::GetStats(key.get()).requests) << "nothing sent without the lock";
    EXPECT_EQ(0, test::RunHere("keysim.exe", "exchange --serial xchg-held 02 --timeout 10000"));
    EXPECT_EQ(1u, keysim::GetStats(key.get()).requests);
}

TEST(Cli, CheckPassesOnlyCleanExchangesOnceTheKeyIsIdle) {
    test::KeyPtr clean = test::PlugKey("check-clean");
    ASSERT_TRUE(clean);
    ASSERT_EQ(0, test::RunHere("keysim.exe", "exchange --serial check-clean 01"));
    ASSERT_EQ(0, test::RunHere("keysim.exe", "exchange --serial check-clean 02"));
    std::string out;
    EXPECT_EQ(0, test::RunHere("keysim.exe", "check --serial check-clean --requests 2", 20000, &out)) << out;
    EXPECT_EQ(1, test::RunHere("keysim.exe", "check --serial check-clean --requests 3", 20000, &out));
    EXPECT_NE(std::string::npos, out.find("requests=2 malformed=0 interleaved=0 misdelivered=0")) << out;
    EXPECT_NE(std::string::npos, out.find("differs: requests=2, expected 3")) << out;

    // B asks during A's latency, and takes A's answer.
    keysim::Behaviour slow;
    slow.latencyMs = 300;
    test::KeyPtr astray = test::PlugKey("check-astray", slow);
    ASSERT_TRUE(astray);
    HANDLE a = test::Open(keysim::DevicePath(astray.get())), b = test::Open(keysim::DevicePath(astray.get()));
    std::vector<uint8_t> frame;
    ASSERT_TRUE(test::Send(a, test::Command({1})));
    for (int i = 0; i < 200 && keysim::GetStats(astray.get()).requests < 1; ++i) Sleep(10);
    ASSERT_TRUE(test::Exchange(b, {2}, &frame));
    EXPECT_EQ(1, test::RunHere("keysim.exe", "check --serial check-astray --requests 2", 20000, &out));
    EXPECT_NE(std::string::npos, out.find("differs: interleaved=1, expected 0")) << out;
    EXPECT_NE(std::string::npos, out.find("differs: misdelivered=1, expected 0")) << out;
    CloseHandle(a);
    CloseHandle(b);

    // An answer still in the key's latency may yet go astray: check waits.
    keysim::Behaviour slower;
    slower.latencyMs = 1000;
    test::KeyPtr busy = test::PlugKey("check-busy", slower);
    ASSERT_TRUE(busy);
    HANDLE c = test::Open(keysim::DevicePath(busy.get()));
    ASSERT_TRUE(test::Send(c, test::Command({3})));
    for (int i = 0; i < 200 && keysim::GetStats(busy.get()).requests < 1; ++i) Sleep(10);
    EXPECT_EQ(1, test::RunHere("keysim.exe", "check --serial check-busy --requests 1 --settle 100", 20000, &out));
    EXPECT_NE(std::string::npos, out.find("differs: still processing 1 answer(s) after 100 ms")) << out;
    EXPECT_EQ(0, test::RunHere("keysim.exe", "check --serial check-busy --requests 1", 20000, &out)) << out;
    CloseHandle(c);

    EXPECT_EQ(1, test::RunHere("keysim.exe", "check --serial check-unplugged --requests 0"));
}

}  // namespace

namespace {

// Which connection and process sent each request, in order: what shows that
// nothing came between two requests of one client.
TEST(Cli, LogNamesTheConnectionAndProcessOfEachRequest) {
    test::KeyPtr key = test::PlugKey("log-who");
    ASSERT_TRUE(key);
    const std::string path = keysim::DevicePath(key.get());
    HANDLE a = test::Open(path), b = test::Open(path);
    std::vector<uint8_t> frame;
    ASSERT_TRUE(test::Exchange(a, {1}, &frame));
    ASSERT_TRUE(test::Exchange(a, {2}, &frame));
    ASSERT_TRUE(test::Exchange(b, {3}, &frame));
    ASSERT_EQ(0, test::RunHere("keysim.exe", "exchange --serial log-who 04"));
    ASSERT_TRUE(test::Exchange(a, {5}, &frame));

    const std::vector<keysim::Request> log = keysim::GetStats(key.get()).log;
    ASSERT_EQ(log.size(), 5u);
    const uint32_t self = GetCurrentProcessId();
    for (size_t i = 0; i < log.size(); ++i) EXPECT_EQ(log[i].number, i + 1);
    EXPECT_EQ(log[0].connection, log[1].connection);
    EXPECT_EQ(log[1].connection, log[4].connection);
    EXPECT_NE(log[2].connection, log[0].connection);
    EXPECT_NE(log[3].connection, log[0].connection);
    EXPECT_NE(log[3].connection, log[2].connection);
    EXPECT_EQ(log[0].process, self);
    EXPECT_EQ(log[2].process, self);
    EXPECT_NE(log[3].process, self) << "keysim exchange is a process of its own";
    EXPECT_NE(log[3].process, 0u);

    std::string out;
    EXPECT_EQ(0, test::RunHere("keysim.exe", "log --serial log-who", 20000, &out));
    out.erase(std::remove(out.begin(), out.end(), '\r'), out.end());
    char line[96];
    snprintf(line, sizeof line, "request 5 connection %u process %u\n", log[4].connection, self);
    EXPECT_EQ(out.find("request 1 "), 0u) << out;
    EXPECT_EQ(out.substr(out.size() - strlen(line)), line) << out;
    EXPECT_EQ(0, test::RunHere("keysim.exe", "stats --serial log-who", 20000, &out));
    EXPECT_EQ(out.find('\n'), out.size() - 1) << "stats stays one line, as scripts read it: " << out;
    CloseHandle(a);
    CloseHandle(b);
}

TEST(Cli, TheLogKeepsTheLatestRequests) {
    test::KeyPtr key = test::PlugKey("log-latest");
    ASSERT_TRUE(key);
    HANDLE h = test::Open(keysim::DevicePath(key.get()));
    std::vector<uint8_t> frame;
    for (size_t i = 0; i < keysim::kLogSize + 3; ++i) ASSERT_TRUE(test::Exchange(h, {uint8_t(i)}, &frame));
    const std::vector<keysim::Request> log = keysim::GetStats(key.get()).log;
    ASSERT_EQ(log.size(), keysim::kLogSize);
    EXPECT_EQ(log.front().number, 4u);
    EXPECT_EQ(log.back().number, keysim::kLogSize + 3);
    EXPECT_EQ(log.back().connection, log.front().connection);
    CloseHandle(h);
}

}  // namespace
