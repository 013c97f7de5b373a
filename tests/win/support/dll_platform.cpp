#include "support/dll_platform.h"

#include "support/iat_hook.h"

namespace testsupport {
namespace {

struct State {
    SRWLOCK lock = SRWLOCK_INIT;
    CallLog log;
    LONG faultCountdown[int(Api::Count)] = {};  // 0: none pending
    DWORD faultError[int(Api::Count)] = {};
    void *original[int(Api::Count)] = {};
};
State g;

class Locked {
public:
    Locked() { AcquireSRWLockExclusive(&g.lock); }
    ~Locked() { ReleaseSRWLockExclusive(&g.lock); }
};

// Counts the call; true when this call is the one chosen to fail.
bool Enter(Api api) {
    Locked l;
    ++g.log.calls[int(api)];
    LONG &countdown = g.faultCountdown[int(api)];
    if (countdown > 0 && --countdown == 0) {
        SetLastError(g.faultError[int(api)]);
        return true;
    }
    return false;
}

void Succeeded(Api api) {
    Locked l;
    ++g.log.succeeded[int(api)];
}

void Created(Api api, HANDLE h) {
    Locked l;
    ++g.log.succeeded[int(api)];
    g.log.created.push_back(h);
}

template <typename F>
F Original(Api api) {
    return reinterpret_cast<F>(g.original[int(api)]);
}

HANDLE WINAPI HookCreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                              DWORD disposition, DWORD flags, HANDLE templateFile) {
    {
        Locked l;
        g.log.lastCreateFile.access = access;
        g.log.lastCreateFile.share = share;
        g.log.lastCreateFile.disposition = disposition;
        g.log.lastCreateFile.flags = flags;
        g.log.lastCreateFile.security = security != nullptr;
        g.log.lastCreateFile.templateFile = templateFile != nullptr;
        g.log.createFilePaths.push_back(name ? name : "");
    }
    if (Enter(Api::CreateFileA)) return INVALID_HANDLE_VALUE;
    HANDLE h = Original<decltype(&HookCreateFileA)>(Api::CreateFileA)(name, access, share, security, disposition,
                                                                       flags, templateFile);
    if (h != INVALID_HANDLE_VALUE) Created(Api::CreateFileA, h);
    return h;
}

HANDLE WINAPI HookOpenMutexA(DWORD access, BOOL inherit, LPCSTR name) {
    {
        Locked l;
        g.log.lastOpenMutex.name = name ? name : "";
        g.log.lastOpenMutex.access = access;
        g.log.lastOpenMutex.inherit = inherit;
    }
    if (Enter(Api::OpenMutexA)) return nullptr;
    HANDLE h = Original<decltype(&HookOpenMutexA)>(Api::OpenMutexA)(access, inherit, name);
    const DWORD error = GetLastError();
    if (h) Created(Api::OpenMutexA, h);
    SetLastError(error);  // the caller decides on it
    return h;
}

HANDLE WINAPI HookCreateMutexA(LPSECURITY_ATTRIBUTES attributes, BOOL initialOwner, LPCSTR name) {
    {
        Locked l;
        auto &c = g.log.lastCreateMutex;
        c.name = name ? name : "";
        c.attributes = attributes != nullptr;
        c.inherit = attributes && attributes->bInheritHandle;
        c.initialOwner = initialOwner != FALSE;
        c.daclPresent = c.daclNull = false;
        if (attributes && attributes->lpSecurityDescriptor) {
            BOOL present = FALSE, defaulted = FALSE;
            PACL dacl = nullptr;
            if (GetSecurityDescriptorDacl(attributes->lpSecurityDescriptor, &present, &dacl, &defaulted)) {
                c.daclPresent = present != FALSE;
                c.daclNull = dacl == nullptr;
            }
        }
    }
    if (Enter(Api::CreateMutexA)) return nullptr;
    HANDLE h = Original<decltype(&HookCreateMutexA)>(Api::CreateMutexA)(attributes, initialOwner, name);
    if (h) Created(Api::CreateMutexA, h);
    return h;
}

BOOL WINAPI HookCloseHandle(HANDLE h) {
    {
        Locked l;
        g.log.closed.push_back(h);
    }
    if (Enter(Api::CloseHandle)) return FALSE;
    BOOL ok = Original<decltype(&HookCloseHandle)>(Api::CloseHandle)(h);
    if (ok) Succeeded(Api::CloseHandle);
    if (ok) SetLastError(kCleanupError);
    return ok;
}

LPVOID WINAPI HookHeapAlloc(HANDLE heap, DWORD flags, SIZE_T size) {
    if (Enter(Api::HeapAlloc)) return nullptr;
    LPVOID p = Original<decltype(&HookHeapAlloc)>(Api::HeapAlloc)(heap, flags, size);
    if (p) Succeeded(Api::HeapAlloc);
    return p;
}

BOOL WINAPI HookHeapFree(HANDLE heap, DWORD flags, LPVOID p) {
    {
        Locked l;
        if (p)
            g.log.lastFreedFirstByte = *static_cast<const unsigned char *>(p);
        else
            ++g.log.heapFreesOfNull;
    }
    if (Enter(Api::HeapFree)) return FALSE;
    BOOL ok = Original<decltype(&HookHeapFree)>(Api::HeapFree)(heap, flags, p);
    if (ok) Succeeded(Api::HeapFree);
    if (ok) SetLastError(kCleanupError);
    return ok;
}

BOOL WINAPI HookWriteFile(HANDLE h, LPCVOID data, DWORD size, LPDWORD written, LPOVERLAPPED overlapped) {
    {
        Locked l;
        g.log.writeSizes.push_back(size);
    }
    if (Enter(Api::WriteFile)) {
        if (written) *written = 0;
        return FALSE;
    }
    BOOL ok = Original<decltype(&HookWriteFile)>(Api::WriteFile)(h, data, size, written, overlapped);
    if (ok) Succeeded(Api::WriteFile);
    return ok;
}

BOOL WINAPI HookReadFile(HANDLE h, LPVOID data, DWORD size, LPDWORD got, LPOVERLAPPED overlapped) {
    {
        Locked l;
        g.log.readSizes.push_back(size);
    }
    if (Enter(Api::ReadFile)) {
        if (got) *got = 0;
        return FALSE;
    }
    BOOL ok = Original<decltype(&HookReadFile)>(Api::ReadFile)(h, data, size, got, overlapped);
    if (ok) Succeeded(Api::ReadFile);
    return ok;
}

DWORD WINAPI HookWaitForSingleObject(HANDLE h, DWORD timeout) {
    if (Enter(Api::WaitForSingleObject)) return WAIT_FAILED;
    DWORD r = Original<decltype(&HookWaitForSingleObject)>(Api::WaitForSingleObject)(h, timeout);
    if (r == WAIT_OBJECT_0 || r == WAIT_ABANDONED) {
        Locked l;
        ++g.log.succeeded[int(Api::WaitForSingleObject)];
        g.log.abandonedWaits += r == WAIT_ABANDONED;
    }
    return r;
}

BOOL WINAPI HookReleaseMutex(HANDLE h) {
    if (Enter(Api::ReleaseMutex)) return FALSE;
    BOOL ok = Original<decltype(&HookReleaseMutex)>(Api::ReleaseMutex)(h);
    if (ok) Succeeded(Api::ReleaseMutex);
    if (ok) SetLastError(kCleanupError);
    return ok;
}

struct Entry {
    const char *name;
    void *hook;
};
const Entry kEntries[int(Api::Count)] = {
    {"CreateFileA", reinterpret_cast<void *>(&HookCreateFileA)},
    {"OpenMutexA", reinterpret_cast<void *>(&HookOpenMutexA)},
    {"CreateMutexA", reinterpret_cast<void *>(&HookCreateMutexA)},
    {"CloseHandle", reinterpret_cast<void *>(&HookCloseHandle)},
    {"HeapAlloc", reinterpret_cast<void *>(&HookHeapAlloc)},
    {"HeapFree", reinterpret_cast<void *>(&HookHeapFree)},
    {"WriteFile", reinterpret_cast<void *>(&HookWriteFile)},
    {"ReadFile", reinterpret_cast<void *>(&HookReadFile)},
    {"WaitForSingleObject", reinterpret_cast<void *>(&HookWaitForSingleObject)},
    {"ReleaseMutex", reinterpret_cast<void *>(&HookReleaseMutex)},
};

}  // namespace

PlatformShim::PlatformShim() {
    Reset();
    ClearFaults();
    HMODULE dll = GetModuleHandleA("Olvexlib.dll");
    installed_ = dll != nullptr;
    for (int i = 0; dll && i < int(Api::Count); ++i) {
        // Originals are known before the slot is redirected: another thread
        // may call through it at once.
        g.original[i] = reinterpret_cast<void *>(GetProcAddress(GetModuleHandleA("kernel32.dll"), kEntries[i].name));
        hooks_[i] = PatchImport(dll, "KERNEL32.dll", kEntries[i].name, kEntries[i].hook);
        if (hooks_[i])
            g.original[i] = hooks_[i];
        else
            installed_ = false;
    }
}

PlatformShim::~PlatformShim() {
    HMODULE dll = GetModuleHandleA("Olvexlib.dll");
    for (int i = 0; dll && i < int(Api::Count); ++i)
        if (hooks_[i]) PatchImport(dll, "KERNEL32.dll", kEntries[i].name, hooks_[i]);
    ClearFaults();
}

CallLog PlatformShim::Log() {
    Locked l;
    return g.log;
}

void PlatformShim::Reset() {
    Locked l;
    g.log = CallLog();
}

void PlatformShim::Fail(Api api, int nth, DWORD error) {
    Locked l;
    g.faultCountdown[int(api)] = nth;
    g.faultError[int(api)] = error;
}

void PlatformShim::ClearFaults() {
    Locked l;
    for (LONG &c : g.faultCountdown) c = 0;
}

}  // namespace testsupport
