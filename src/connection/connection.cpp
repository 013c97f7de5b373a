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

}  // namespace
}  // namespace olvex

using namespace olvex;

extern "C" int OLVEX_API OLVEX_Connect(OLVEX_HANDLE *connection, char *pathOut, int index) {
    if (!connection) return OLVEX_FAIL;
    const char *path = Lookup(&g_devices, index);
    if (!path || !path[0]) return OLVEX_FAIL;

    HANDLE device = OpenKey(path);
    if (device == INVALID_HANDLE_VALUE) return OLVEX_ERR_OPEN;
    HANDLE lock = OpenDeviceLock(path);
    if (!lock) {
        CloseHandle(device);
        return OLVEX_FAIL;
    }
    auto *record = static_cast<KeyConnection *>(HeapAlloc(GetProcessHeap(), 0, sizeof(KeyConnection)));
    if (!record) {
        CloseHandle(lock);
        CloseHandle(device);
        return OLVEX_FAIL;
    }
    record->tag = CONNECTION_TAG;
    record->device = device;
    record->lock = lock;
    *connection = record;
    if (pathOut) std::memcpy(pathOut, path, std::strlen(path));  // no terminator, by contract
    return OLVEX_OK;
}

extern "C" int OLVEX_API OLVEX_Disconnect(OLVEX_HANDLE connection) {
    if (!connection) return OLVEX_OK;
    if (!IsOpenConnection(connection)) return OLVEX_FAIL;
    CloseHandle(connection->lock);
    CloseHandle(connection->device);
    // A stale second Disconnect then more likely meets a cleared tag than double-closes.
    connection->tag = 0;
    HeapFree(GetProcessHeap(), 0, connection);
    return OLVEX_OK;
}
