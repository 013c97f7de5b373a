// Stands between Olvexlib.dll and the platform calls it makes: counts them,
// records what they were asked, and fails chosen ones, so tests see every
// handle, allocation, lock operation and I/O the library spends. Built on
// ImportHook, so only the DLL's own calls are seen (not keysim's, not Wine's).
#pragma once
#include <windows.h>

#include <string>
#include <vector>

namespace testsupport {

enum class Api {
    CreateFileA,
    OpenMutexA,
    CreateMutexA,
    CloseHandle,
    HeapAlloc,
    HeapFree,
    WriteFile,
    ReadFile,
    WaitForSingleObject,
    ReleaseMutex,
    Count
};

// A copy of what the shim saw since it was installed or last reset.
struct CallLog {
    LONG calls[int(Api::Count)] = {};
    // Returned success: a handle, TRUE, memory, or for waits WAIT_OBJECT_0 or
    // WAIT_ABANDONED (both mean the lock is held).
    LONG succeeded[int(Api::Count)] = {};
    LONG abandonedWaits = 0;
    LONG heapFreesOfNull = 0;
    std::vector<DWORD> writeSizes;  // bytes given to each WriteFile, in order
    std::vector<DWORD> readSizes;   // bytes asked of each ReadFile, in order
    std::vector<HANDLE> closed;     // CloseHandle arguments, in order
    std::vector<HANDLE> created;    // handles CreateFileA, OpenMutexA and CreateMutexA returned
    std::vector<std::string> createFilePaths;  // every path given to CreateFileA, in order

    struct {
        DWORD access = 0, share = 0, disposition = 0, flags = 0;
        bool security = false, templateFile = false;
    } lastCreateFile;
    struct {
        std::string name;
        DWORD access = 0;
        BOOL inherit = TRUE;
    } lastOpenMutex;
    struct {
        std::string name;
        bool attributes = false, inherit = false, initialOwner = true;
        bool daclPresent = false, daclNull = false;
    } lastCreateMutex;
    int lastFreedFirstByte = -1;  // first byte of the last block freed, as it was when freed

    LONG Calls(Api a) const { return calls[int(a)]; }
    LONG Succeeded(Api a) const { return succeeded[int(a)]; }
    // Successful allocations not yet freed.
    LONG HeapOutstanding() const {
        return succeeded[int(Api::HeapAlloc)] - (calls[int(Api::HeapFree)] - heapFreesOfNull);
    }
    // Handles the DLL obtained and has not closed (it closes only its own).
    LONG HandlesOutstanding() const { return LONG(created.size()) - LONG(closed.size()); }
};

// Successful CloseHandle, HeapFree and ReleaseMutex calls of the DLL leave this
// as the last error, as the platform is free to: a cause the DLL reports after
// cleaning up survives only if it was saved before the cleanup.
constexpr DWORD kCleanupError = 0x2EE1;

class PlatformShim {
public:
    PlatformShim();
    ~PlatformShim();
    PlatformShim(const PlatformShim &) = delete;
    PlatformShim &operator=(const PlatformShim &) = delete;

    // Every hook found its import in the DLL.
    bool installed() const { return installed_; }
    static CallLog Log();
    static void Reset();
    // The nth call of `api` from now on (1 = the next) fails with `error`
    // without reaching the platform. One pending fault per API.
    static void Fail(Api api, int nth = 1, DWORD error = ERROR_GEN_FAILURE);
    static void ClearFaults();

private:
    bool installed_ = false;
    void *hooks_[int(Api::Count)] = {};
};

}  // namespace testsupport
