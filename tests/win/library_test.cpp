// The library as a whole, with no key attached: what it exports, what it
// says of itself, and how it refuses what it is not given.
#include <windows.h>
#include <setupapi.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "olvexlib.h"
#include "support/iat_hook.h"

using testsupport::ImportHook;

namespace {

HMODULE Library() { return GetModuleHandleA("Olvexlib.dll"); }

std::string VersionString(const void *block, const char *name) {
    char *value = nullptr;
    UINT length = 0;
    std::string query = std::string("\\StringFileInfo\\040904b0\\") + name;
    if (!VerQueryValueA(block, query.c_str(), reinterpret_cast<void **>(&value), &length)) return "";
    return std::string(value);
}

HDEVINFO WINAPI NoDeviceSet(const GUID *, PCSTR, HWND, DWORD) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
}

}  // namespace

TEST(Library, ExportsExactlyTheFourOperations) {
    HMODULE dll = Library();
    ASSERT_NE(dll, nullptr);
    auto *base = reinterpret_cast<BYTE *>(dll);
    auto *nt = reinterpret_cast<IMAGE_NT_HEADERS *>(base + reinterpret_cast<IMAGE_DOS_HEADER *>(base)->e_lfanew);
    auto *exports = reinterpret_cast<IMAGE_EXPORT_DIRECTORY *>(
        base + nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT].VirtualAddress);
    ASSERT_EQ(exports->NumberOfNames, 4u);
    auto *names = reinterpret_cast<DWORD *>(base + exports->AddressOfNames);
    std::string all;
    for (DWORD i = 0; i < exports->NumberOfNames; ++i) all += std::string(reinterpret_cast<char *>(base + names[i])) + " ";
    EXPECT_EQ(all, "OLVEX_Connect OLVEX_Disconnect OLVEX_DoCommand OLVEX_EnumDEV ");
}

TEST(Library, VersionResourceGivesFileAndProductVersion) {
    char path[MAX_PATH];
    ASSERT_GT(GetModuleFileNameA(Library(), path, MAX_PATH), 0u);
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeA(path, &ignored);
    ASSERT_GT(size, 0u);
    std::string block(size, '\0');
    ASSERT_TRUE(GetFileVersionInfoA(path, 0, size, block.data()));
    VS_FIXEDFILEINFO *fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueA(block.data(), "\\", reinterpret_cast<void **>(&fixed), &length));
    EXPECT_EQ(fixed->dwFileVersionMS, MAKELONG(0, 1));
    EXPECT_EQ(fixed->dwFileVersionLS, MAKELONG(0, 4));
    EXPECT_EQ(fixed->dwProductVersionMS, MAKELONG(0, 1));
    EXPECT_EQ(fixed->dwProductVersionLS, 0u);
    EXPECT_EQ(VersionString(block.data(), "FileVersion"), "1.0.4.0");
    EXPECT_EQ(VersionString(block.data(), "ProductVersion"), "1.0.0.0");
    EXPECT_EQ(VersionString(block.data(), "ProductName"), "Olvexlib");
    EXPECT_EQ(VersionString(block.data(), "OriginalFilename"), "Olvexlib.dll");
}

TEST(Refusals, NoKeyAttachedListsNone) {
    int count = 77;
    EXPECT_EQ(OLVEX_EnumDEV(&count), OLVEX_OK);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(OLVEX_EnumDEV(nullptr), OLVEX_FAIL);
}

TEST(Refusals, NoDeviceSetFailsAndEmptiesTable) {
    ImportHook hook(Library(), "SETUPAPI.dll", "SetupDiGetClassDevsA", reinterpret_cast<void *>(&NoDeviceSet));
    ASSERT_TRUE(hook.installed());
    int count = 77;
    EXPECT_EQ(OLVEX_EnumDEV(&count), OLVEX_FAIL);
    EXPECT_EQ(count, 77);
    OLVEX_HANDLE c = nullptr;
    EXPECT_EQ(OLVEX_Connect(&c, nullptr, 0), OLVEX_FAIL);
    EXPECT_EQ(c, nullptr);
}

TEST(Refusals, ConnectOnEmptyTableOpensNothing) {
    int count = 0;
    ASSERT_EQ(OLVEX_EnumDEV(&count), OLVEX_OK);
    const long handles = testsupport::CountProcessHandles();
    OLVEX_HANDLE c = nullptr;
    for (int index : {-1, 0, 1, 10, INT_MIN, INT_MAX}) EXPECT_EQ(OLVEX_Connect(&c, nullptr, index), OLVEX_FAIL) << index;
    EXPECT_EQ(OLVEX_Connect(nullptr, nullptr, 0), OLVEX_FAIL);
    EXPECT_EQ(c, nullptr);
    EXPECT_EQ(testsupport::CountProcessHandles(), handles);
}

TEST(Refusals, ForgedOrNullConnectionsAreRefusedWithoutTouchingHandles) {
    EXPECT_EQ(OLVEX_Disconnect(nullptr), OLVEX_OK);

    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);  // a real handle a forged record might name
    struct Forged {
        unsigned char tag;
        HANDLE device;
        HANDLE lock;
    };
    Forged wrongTag{0x45, event, event};
    Forged noDevice{0x44, nullptr, event};
    Forged noLock{0x44, event, nullptr};
    unsigned char body[16];
    int length = -5;
    const unsigned char cmd[1] = {1};
    for (Forged *f : {&wrongTag, &noDevice, &noLock}) {
        auto h = reinterpret_cast<OLVEX_HANDLE>(f);
        EXPECT_EQ(OLVEX_DoCommand(h, cmd, 1, body, &length), OLVEX_FAIL);
        EXPECT_EQ(OLVEX_Disconnect(h), OLVEX_FAIL);
    }
    EXPECT_EQ(OLVEX_DoCommand(nullptr, cmd, 1, body, &length), OLVEX_FAIL);
    EXPECT_EQ(length, -5);
    // The event was never closed by the library.
    EXPECT_NE(WaitForSingleObject(event, 0), WAIT_FAILED);
    CloseHandle(event);
}
