#include "connection/lock_name.h"
#include "discovery/control_key.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

using namespace olvex;

namespace {
const char kPath[] = "\\\\?\\usb#vid_1234&pid_5678#sn0001#{925fad44-e331-4116-b409-78fc2b51ea21}";

template <size_t N>
bool ZeroFrom(const char (&buf)[N], size_t from) {
    return std::all_of(buf + from, buf + N, [](char c) { return c == 0; });
}
}  // namespace

TEST(ControlKeyPath, DerivedFromDevicePathExactly) {
    char name[INTERFACE_NAME_SIZE];
    char key[CONTROL_KEY_PATH_SIZE];
    std::memset(name, 0x55, sizeof name);
    std::memset(key, 0x55, sizeof key);
    BuildControlKeyPath(kPath, name, key);
    EXPECT_STREQ(name, "##?#usb#vid_1234&pid_5678#sn0001#{925fad44-e331-4116-b409-78fc2b51ea21}");
    EXPECT_STREQ(key,
                 "SYSTEM\\CurrentControlSet\\Control\\DeviceClasses\\{925fad44-e331-4116-b409-78fc2b51ea21}\\"
                 "##?#usb#vid_1234&pid_5678#sn0001#{925fad44-e331-4116-b409-78fc2b51ea21}\\Control");
    EXPECT_TRUE(ZeroFrom(name, std::strlen(name)));
    EXPECT_TRUE(ZeroFrom(key, std::strlen(key)));
}

TEST(ControlKeyPath, LongestTablePathFits) {
    const std::string path = "\\\\?\\" + std::string(255, 'z');
    char name[INTERFACE_NAME_SIZE];
    char key[CONTROL_KEY_PATH_SIZE];
    BuildControlKeyPath(path.c_str(), name, key);
    const std::string k(key);
    EXPECT_EQ(k.substr(k.size() - 8), "\\Control");
    EXPECT_NE(k.find("##?#" + std::string(255, 'z') + "\\Control"), std::string::npos);
}

TEST(LockName, ReversedPathWithBackslashesAsA) {
    char name[DEVICE_PATH_SIZE];
    std::memset(name, 0x55, sizeof name);
    BuildLockName(kPath, name);
    std::string expected(kPath);
    std::reverse(expected.begin(), expected.end());
    std::replace(expected.begin(), expected.end(), '\\', 'a');
    EXPECT_STREQ(name, expected.c_str());
    EXPECT_EQ(std::strlen(name), std::strlen(kPath));
    EXPECT_EQ(std::string(name).substr(std::strlen(name) - 4), "a?aa");
    EXPECT_TRUE(ZeroFrom(name, std::strlen(name)));
}

TEST(LockName, OnlyBackslashesChange) {
    char name[DEVICE_PATH_SIZE];
    BuildLockName("\\\\?\\A/b\\c#?a", name);
    EXPECT_STREQ(name, "a?#cab/Aa?aa");
}
