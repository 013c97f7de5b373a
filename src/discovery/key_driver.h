// What the library relies on from the key driver: the interface class its keys
// are registered under, and how a key's device path is opened.
#pragma once
#include <windows.h>

namespace olvex {

// {925FAD44-E331-4116-B409-78FC2B51EA21}
constexpr GUID KEY_INTERFACE_GUID = {0x925FAD44, 0xE331, 0x4116, {0xB4, 0x09, 0x78, 0xFC, 0x2B, 0x51, 0xEA, 0x21}};

// Plain synchronous read/write access, shared so that several connections and
// processes can hold one key at once.
inline HANDLE OpenKey(const char *path) {
    return CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_EXISTING, 0, nullptr);
}

}  // namespace olvex
