#pragma once
#include <windows.h>

#include <cstdint>

#include "olvexlib.h"

// The record behind an OLVEX_HANDLE.
struct OLVEX_Connection {
    uint8_t tag;    // CONNECTION_TAG while open
    HANDLE device;  // the key, opened for synchronous read/write
    HANDLE lock;    // the key's named mutex, shared by every connection to it
    char path[OLVEX_PATH_SIZE];  // the key's device path, zero-terminated: a drain opens it anew
};

namespace olvex {

using KeyConnection = OLVEX_Connection;

constexpr uint8_t CONNECTION_TAG = 0x44;

inline bool IsOpenConnection(const KeyConnection *c) {
    return c && c->tag == CONNECTION_TAG && c->device && c->lock;
}

}  // namespace olvex
