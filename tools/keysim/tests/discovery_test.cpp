// What enumeration sees: listing, attach times, unplugging, and the faults that
// concern finding and opening a key.
#include <gtest/gtest.h>

#include "support.h"

namespace {

const char kGuid[] = "{925fad44-e331-4116-b409-78fc2b51ea21}";

std::string EnumKey(const std::string &serial) {
    return "SYSTEM\\CurrentControlSet\\Enum\\USB\\VID_1234&PID_5678\\" + serial;
}

std::string InterfaceKey(const std::string &path) {
    std::string name = path;
    name[0] = name[1] = name[3] = '#';
    return std::string("SYSTEM\\CurrentControlSet\\Control\\DeviceClasses\\") + kGuid + "\\" + name;
}

TEST(Discovery, PluggedKeyIsListedUnderItsLowerCasePath) {
    keysim::KeyOptions o;
    o.serial = "Disc-A1";
    o.vid = 0xABCD;
    o.pid = 0x00EF;
    test::KeyPtr key = test::PlugKey(o);
    ASSERT_TRUE(key);
    std::string path = keysim::DevicePath(key.get());
    EXPECT_EQ(std::string("\\\\?\\usb#vid_abcd&pid_00ef#disc-a1#") + kGuid, path);
    EXPECT_TRUE(test::IsListed(path));
    HANDLE h = test::Open(path);
    EXPECT_NE(INVALID_HANDLE_VALUE, h);
    CloseHandle(h);
}

TEST(Discovery, ControlKeysOrderKeysByAttachTimeNotByName) {
    // Plugged in reverse name order, so SetupAPI's order proves nothing.
    test::KeyPtr c = test::PlugKey("order-c");
    Sleep(30);
    test::KeyPtr b = test::PlugKey("order-b");
    Sleep(30);
    test::KeyPtr a = test::PlugKey("order-a");
    ASSERT_TRUE(a && b && c);
    ULONGLONG ta = 0, tb = 0, tc = 0;
    ASSERT_TRUE(test::AttachTime(keysim::DevicePath(a.get()), &ta));
    ASSERT_TRUE(test::AttachTime(keysim::DevicePath(b.get()), &tb));
    ASSERT_TRUE(test::AttachTime(keysim::DevicePath(c.get()), &tc));
    EXPECT_LT(tc, tb);
    EXPECT_LT(tb, ta);
    for (auto *k : {a.get(), b.get(), c.get()}) EXPECT_TRUE(test::IsListed(keysim::DevicePath(k)));
}

TEST(Discovery, UnplugRemovesThatKeyOnly) {
    test::KeyPtr gone = test::PlugKey("unplug-x");
    test::KeyPtr stays = test::PlugKey("unplug-y");
    ASSERT_TRUE(gone && stays);
    std::string path = keysim::DevicePath(gone.get());
    HANDLE open = test::Open(path);
    ASSERT_NE(INVALID_HANDLE_VALUE, open);

    gone.reset();
    EXPECT_FALSE(test::IsListed(path));
    EXPECT_EQ(INVALID_HANDLE_VALUE, test::Open(path));
    EXPECT_FALSE(test::RegistryKeyExists(InterfaceKey(path)));
    EXPECT_FALSE(test::RegistryKeyExists(EnumKey("unplug-x")));
    std::vector<uint8_t> frame;
    EXPECT_FALSE(test::Exchange(open, {1}, &frame)) << "a handle opened before unplugging must break";
    CloseHandle(open);

    std::string other = keysim::DevicePath(stays.get());
    EXPECT_TRUE(test::IsListed(other));
    HANDLE h = test::Open(other);
    EXPECT_TRUE(test::Exchange(h, {1}, &frame));
    CloseHandle(h);
}

TEST(Discovery, LastUnplugLeavesNoEmptyParents) {
    test::KeyPtr key = test::PlugKey("parents-1");
    ASSERT_TRUE(key);
    key.reset();
    EXPECT_FALSE(test::RegistryKeyExists(std::string("SYSTEM\\CurrentControlSet\\Control\\DeviceClasses\\") + kGuid));
    EXPECT_FALSE(test::RegistryKeyExists("SYSTEM\\CurrentControlSet\\Enum\\USB\\VID_1234&PID_5678"));
    EXPECT_TRUE(test::ListPresent().empty());
}

TEST(Discovery, SerialsAreCheckedAndPluggedOnce) {
    test::KeyPtr key = test::PlugKey("twice");
    ASSERT_TRUE(key);
    EXPECT_FALSE(test::PlugKey("TWICE")) << "paths are case-insensitive";
    for (const char *bad : {"", "a#b", "a\\b", "a/b", "a b"}) EXPECT_FALSE(test::PlugKey(bad)) << bad;
    key.reset();
    key = test::PlugKey("twice");
    EXPECT_TRUE(key) << "a serial is free again once unplugged";
}

TEST(DiscoveryFaults, RefusingKeyIsListedButDoesNotOpen) {
    keysim::KeyOptions o;
    o.serial = "refuser";
    o.refuseOpen = true;
    test::KeyPtr key = test::PlugKey(o);
    ASSERT_TRUE(key);
    EXPECT_TRUE(test::IsListed(keysim::DevicePath(key.get())));
    EXPECT_EQ(INVALID_HANDLE_VALUE, test::Open(keysim::DevicePath(key.get())));
}

TEST(DiscoveryFaults, MissingControlKeyLeavesKeyListedWithoutAttachTime) {
    keysim::KeyOptions o;
    o.serial = "no-control";
    o.omitControlKey = true;
    test::KeyPtr key = test::PlugKey(o);
    ASSERT_TRUE(key);
    std::string path = keysim::DevicePath(key.get());
    EXPECT_TRUE(test::IsListed(path));
    ULONGLONG t;
    EXPECT_FALSE(test::AttachTime(path, &t));
    HANDLE h = test::Open(path);
    std::vector<uint8_t> frame;
    EXPECT_TRUE(test::Exchange(h, {1}, &frame));
    CloseHandle(h);
}

TEST(DiscoveryFaults, LongestListablePathOpens) {
    test::KeyPtr key = test::PlugKey(std::string(194, 'L'));
    ASSERT_TRUE(key);
    std::string path = keysim::DevicePath(key.get());
    ASSERT_EQ(259u, path.size());
    EXPECT_TRUE(test::IsListed(path));
    HANDLE h = test::Open(path);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    std::vector<uint8_t> frame;
    EXPECT_TRUE(test::Exchange(h, {1}, &frame));
    CloseHandle(h);
}

// Wine's SetupAPI reports a path rebuilt from the instance id in place of a
// SymbolicLink of 260 characters or more, and crashes on instance ids of about
// 216 characters: the key must be listed, and enumerating must survive.
TEST(DiscoveryFaults, PathBeyond259CharactersIsRegisteredAndListed) {
    test::KeyPtr key = test::PlugKey(std::string(200, 'L'));
    ASSERT_TRUE(key);
    std::string path = keysim::DevicePath(key.get());
    ASSERT_EQ(265u, path.size());
    // The interface key's name is cut to the registry's 255 characters.
    HKEY classes;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, InterfaceKey(path).substr(0, InterfaceKey(path).rfind('\\')).c_str(), 0, KEY_READ,
                                           &classes));
    char name[256] = "", link[400] = "";
    DWORD nameSize = sizeof name, size = sizeof link;
    EXPECT_EQ(ERROR_SUCCESS, RegEnumKeyExA(classes, 0, name, &nameSize, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(ERROR_SUCCESS, RegGetValueA(classes, (std::string(name) + "\\#").c_str(), "SymbolicLink", RRF_RT_REG_SZ,
                                          nullptr, link, &size));
    RegCloseKey(classes);
    EXPECT_EQ(path, link) << "Windows would hand out this path";
    std::vector<std::string> listed = test::ListPresent();
    ASSERT_EQ(1u, listed.size());
    EXPECT_EQ(path.substr(0, 120), listed[0].substr(0, 120));
    key.reset();
    EXPECT_TRUE(test::ListPresent().empty());
}

}  // namespace
