#include <windows.h>
#include <setupapi.h>

#include <cstddef>
#include <cstring>

#include "discovery/control_key.h"
#include "discovery/devices.h"
#include "discovery/key_driver.h"
#include "olvexlib.h"

namespace olvex {

DeviceTable g_devices;

#ifndef _WIN64
static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) == 28 && sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) == 5,
              "the 32-bit platform records have these sizes");
#endif

namespace {

int CompareTimes(const FileTime *a, const FileTime *b) {
    const FILETIME x{a->low, a->high};
    const FILETIME y{b->low, b->high};
    return CompareFileTime(&x, &y);
}

// Last-write time of the key's Control key: when the key was attached.
bool ReadAttachTime(const char *path, FileTime *time) {
    char interfaceName[INTERFACE_NAME_SIZE];
    char keyPath[CONTROL_KEY_PATH_SIZE];
    BuildControlKeyPath(path, interfaceName, keyPath);
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    FILETIME written;
    const bool ok = RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                     nullptr, nullptr, &written) == ERROR_SUCCESS;
    RegCloseKey(key);
    if (ok) *time = FileTime{written.dwLowDateTime, written.dwHighDateTime};
    return ok;
}

enum class Probe { End, Continue };

Probe ProbeInterface(HDEVINFO set, DWORD index) {
    SP_DEVICE_INTERFACE_DATA record;
    std::memset(&record, 0, sizeof record);
    record.cbSize = sizeof record;
    if (!SetupDiEnumDeviceInterfaces(set, nullptr, &KEY_INTERFACE_GUID, index, &record)) return Probe::End;

    DWORD required = 0;
    if (!SetupDiGetDeviceInterfaceDetailA(set, &record, nullptr, 0, &required, nullptr) &&
        GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
        return Probe::End;
    }

    // Never smaller than the fixed part we write into, and one zero byte past
    // what the platform fills so the path is terminated whatever it reports.
    const size_t size = required > sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) ? required
                                                                             : sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    auto *detail = static_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A *>(
        HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, size + 1));
    if (!detail) return Probe::End;
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    if (!SetupDiGetDeviceInterfaceDetailA(set, &record, detail, DWORD(size), &required, nullptr)) {
        HeapFree(GetProcessHeap(), 0, detail);
        return Probe::End;
    }

    const char *path = detail->DevicePath;
    // A path too long for the table is skipped before any work is spent on it.
    if (strnlen(path, DEVICE_PATH_SIZE) < size_t(DEVICE_PATH_SIZE)) {
        HANDLE test = OpenKey(path);
        if (test != INVALID_HANDLE_VALUE) {
            FileTime attached;
            if (ReadAttachTime(path, &attached)) AddKey(&g_devices, path, attached, CompareTimes);
            CloseHandle(test);
        }
    }
    HeapFree(GetProcessHeap(), 0, detail);
    return Probe::Continue;
}

}  // namespace
}  // namespace olvex

using namespace olvex;

extern "C" int OLVEX_API OLVEX_EnumDEV(int *count) {
    if (!count) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return OLVEX_FAIL;
    }
    Reset(&g_devices);
    HDEVINFO set = SetupDiGetClassDevsA(&KEY_INTERFACE_GUID, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) return OLVEX_FAIL;  // SetupAPI's own cause stands
    for (DWORD i = 0; ProbeInterface(set, i) == Probe::Continue; ++i) {
    }
    SetupDiDestroyDeviceInfoList(set);
    SortDeviceTable(&g_devices, CompareTimes);
    *count = g_devices.count;
    return OLVEX_OK;
}
