#include <windows.h>

#include <cstring>

#include "connection/key_connection.h"
#include "connection/lock_name.h"
#include "discovery/devices.h"
#include "discovery/key_driver.h"

namespace olvex {
namespace {

// Every program that derives the same name from the same path shares this
// mutex, so the name rule, the open access list and the inheritable handle of
// a created lock are all relied on by peers.
HANDLE OpenDeviceLock(const char *path) {
    char name[DEVICE_PATH_SIZE];
    BuildLockName(path, name);
    HANDLE lock = OpenMutexA(MUTEX_ALL_ACCESS, FALSE, name);
    if (lock || GetLastError() != ERROR_FILE_NOT_FOUND) return lock;

    SECURITY_DESCRIPTOR descriptor;
    if (!InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION)) return nullptr;
    if (!SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE)) return nullptr;  // null DACL: everyone
    SECURITY_ATTRIBUTES attributes;
    attributes.nLength = sizeof attributes;
    attributes.lpSecurityDescriptor = &descriptor;
    attributes.bInheritHandle = TRUE;
    return CreateMutexA(&attributes, FALSE, name);
}

// Closes what a failed call opened and leaves `error` as the thread's last error.
int Abandon(HANDLE device, HANDLE lock, DWORD error) {
    if (lock) CloseHandle(lock);
    CloseHandle(device);
    SetLastError(error);
    return OLVEX_FAIL;
}

}  // namespace
}  // namespace olvex

using namespace olvex;

extern "C" int OLVEX_API OLVEX_Connect(OLVEX_HANDLE *connection, char *pathOut, int index) {
    // One read of the slot serves the handle, the lock and pathOut alike: a
    // listing racing with this call can then never pair one key's handle
    // with another key's lock.
    const char *slot = Lookup(&g_devices, index);
    char path[DEVICE_PATH_SIZE] = {};
    if (slot) std::memcpy(path, slot, strnlen(slot, DEVICE_PATH_SIZE - 1));
    if (!connection || !path[0]) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return OLVEX_FAIL;
    }

    HANDLE device = OpenKey(path);
    if (device == INVALID_HANDLE_VALUE) return OLVEX_ERR_OPEN;  // CreateFileA's own cause stands
    HANDLE lock = OpenDeviceLock(path);
    if (!lock) return Abandon(device, nullptr, GetLastError());
    auto *record = static_cast<KeyConnection *>(HeapAlloc(GetProcessHeap(), 0, sizeof(KeyConnection)));
    if (!record) return Abandon(device, lock, ERROR_NOT_ENOUGH_MEMORY);
    record->tag = CONNECTION_TAG;
    record->device = device;
    record->lock = lock;
    std::memcpy(record->path, path, sizeof record->path);
    *connection = record;
    if (pathOut) std::memcpy(pathOut, path, std::strlen(path));  // no terminator, by contract
    return OLVEX_OK;
}

extern "C" int OLVEX_API OLVEX_Disconnect(OLVEX_HANDLE connection) {
    if (!connection) return OLVEX_OK;
    if (!IsOpenConnection(connection)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return OLVEX_FAIL;
    }
    CloseHandle(connection->lock);
    CloseHandle(connection->device);
    // A stale second Disconnect then more likely meets a cleared tag than double-closes.
    connection->tag = 0;
    HeapFree(GetProcessHeap(), 0, connection);
    return OLVEX_OK;
}
