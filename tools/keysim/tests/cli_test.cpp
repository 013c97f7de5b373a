// The keysim program: keys it plugs are seen by other processes, and stopping
// it leaves nothing behind.
#include <gtest/gtest.h>

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
    EXPECT_EQ(2, test::RunHere("keysim.exe", "plug --serial x --behaviour nonsense"));
    EXPECT_EQ(2, test::RunHere("keysim.exe", "plug --latency 5"));
    EXPECT_EQ(2, test::RunHere("keysim.exe", "frobnicate --serial x"));
}

}  // namespace
