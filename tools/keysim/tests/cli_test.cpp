// The keysim program: keys it plugs are seen by other processes, and stopping
// it leaves nothing behind.
#include <gtest/gtest.h>

#include <cstdio>

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

    std::string command = "\"" + test::SelfDirectory() + "keysim.exe\" run \"" + file + "\"";
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    ASSERT_TRUE(CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi));
    std::string one = keysim::MakeDevicePath("run-1"), two = keysim::MakeDevicePath("run-2");
    for (int i = 0; i < 200 && !(test::IsListed(one) && test::IsListed(two)); ++i) Sleep(25);
    EXPECT_TRUE(test::IsListed(one));
    EXPECT_TRUE(test::IsListed(two));
    HANDLE h = test::Open(one);
    Bytes frame;
    EXPECT_TRUE(test::Exchange(h, {1}, &frame));
    CloseHandle(h);
    EXPECT_EQ(INVALID_HANDLE_VALUE, test::Open(two));

    EXPECT_EQ(0, test::RunHere("keysim.exe", "unplug --serial run-1"));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(pi.hProcess, 100)) << "run-2 is still served";
    EXPECT_EQ(0, test::RunHere("keysim.exe", "unplug --serial run-2"));
    DWORD code = 1;
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(pi.hProcess, 10000));
    GetExitCodeProcess(pi.hProcess, &code);
    EXPECT_EQ(0u, code);
    EXPECT_TRUE(test::ListPresent().empty());
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    DeleteFileA(file.c_str());
}

TEST(Cli, UsageAndBadOptions) {
    EXPECT_EQ(0, test::RunHere("keysim.exe", "--help"));
    EXPECT_EQ(2, test::RunHere("keysim.exe", "plug --serial x --behaviour nonsense"));
    EXPECT_EQ(2, test::RunHere("keysim.exe", "plug --latency 5"));
    EXPECT_EQ(2, test::RunHere("keysim.exe", "frobnicate --serial x"));
}

}  // namespace
