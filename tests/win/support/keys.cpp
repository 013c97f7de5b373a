#include "support/keys.h"

#include <cstdio>

#include "support/iat_hook.h"

namespace testsupport {

std::string FreshSerial(const char *stem) {
    static LONG counter = 0;
    char buffer[96];
    snprintf(buffer, sizeof buffer, "%s%lu_%ld", stem, GetCurrentProcessId(), InterlockedIncrement(&counter));
    return buffer;
}

KeyPtr PlugKey(const std::string &serial, const keysim::Behaviour &behaviour) {
    keysim::KeyOptions options;
    options.serial = serial;
    options.behaviour = behaviour;
    return KeyPtr(keysim::Plug(options));
}

keysim::Behaviour Echo(uint16_t status, unsigned latencyMs) {
    keysim::Behaviour b;
    b.status = status;
    b.latencyMs = latencyMs;
    return b;
}

keysim::Behaviour Length(uint32_t dataLength, uint16_t status) {
    keysim::Behaviour b;
    b.mode = keysim::Mode::Length;
    b.dataLength = dataLength;
    b.status = status;
    return b;
}

keysim::Behaviour Script(std::vector<std::vector<uint8_t>> parts) {
    keysim::Behaviour b;
    b.mode = keysim::Mode::Script;
    b.script = std::move(parts);
    return b;
}

keysim::Behaviour WithMode(keysim::Mode mode) {
    keysim::Behaviour b;
    b.mode = mode;
    return b;
}

int ConnectWhenFree(OLVEX_HANDLE *c, char *pathOut, int index) {
    int result = OLVEX_Connect(c, pathOut, index);
    for (int i = 0; i < 100 && result == OLVEX_ERR_OPEN && GetLastError() == ERROR_PIPE_BUSY; ++i) {
        Sleep(10);
        result = OLVEX_Connect(c, pathOut, index);
    }
    return result;
}

int IndexOf(const std::string &path) {
    int count = 0;
    if (OLVEX_EnumDEV(&count) != OLVEX_OK) return -1;
    for (int i = 0; i < count; ++i) {
        char found[300] = {};
        OLVEX_HANDLE c = nullptr;
        if (ConnectWhenFree(&c, found, i) != OLVEX_OK) continue;
        OLVEX_Disconnect(c);
        if (path == found) return i;
    }
    return -1;
}

OLVEX_HANDLE ConnectTo(const std::string &path) {
    const int index = IndexOf(path);
    OLVEX_HANDLE c = nullptr;
    if (index < 0 || ConnectWhenFree(&c, nullptr, index) != OLVEX_OK) return nullptr;
    return c;
}

std::string LockName(const std::string &path) {
    std::string name(path.rbegin(), path.rend());
    for (char &ch : name)
        if (ch == '\\') ch = 'a';
    return name;
}

namespace {
DWORD WINAPI TryLock(void *arg) {
    HANDLE lock = OpenMutexA(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, static_cast<const char *>(arg));
    if (!lock) return 0;
    const DWORD wait = WaitForSingleObject(lock, 0);
    const bool taken = wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED;
    if (taken) ReleaseMutex(lock);
    CloseHandle(lock);
    return taken ? 1 : 0;
}
}  // namespace

bool LockIsFree(const std::string &path) {
    std::string name = LockName(path);
    HANDLE thread = CreateThread(nullptr, 0, TryLock, &name[0], 0, nullptr);
    if (!thread) return false;
    WaitForSingleObject(thread, INFINITE);
    DWORD taken = 0;
    GetExitCodeThread(thread, &taken);
    CloseHandle(thread);
    return taken == 1;
}

Reply Exchange(OLVEX_HANDLE c, const std::vector<uint8_t> &payload) {
    std::vector<uint8_t> buffer(OLVEX_MAX_RESPONSE_BODY + kGuard, 0xCC);
    Reply r;
    SetLastError(ERROR_SUCCESS);  // whatever is read afterwards, the DLL left
    r.result = OLVEX_DoCommand(c, payload.empty() ? nullptr : payload.data(), int(payload.size()), buffer.data(),
                               &r.length);
    r.error = GetLastError();
    const size_t kept = r.result == OLVEX_FAIL || r.length < 0 || r.length > OLVEX_MAX_RESPONSE_BODY
                            ? 0
                            : size_t(r.length);
    for (size_t i = 0; i < buffer.size(); ++i) {
        if (buffer[i] == 0xCC) continue;
        r.untouched = false;
        if (i >= kept) r.guardIntact = false;
    }
    r.body.assign(buffer.begin(), buffer.begin() + kept);
    return r;
}

std::vector<uint8_t> Bytes(size_t n, uint8_t seed) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = uint8_t(seed + i * 7 + (i >> 8));
    return v;
}

long SettledHandleCount(long expected) {
    long n = CountProcessHandles();
    for (int i = 0; i < 250 && n != expected; ++i) {
        Sleep(20);
        n = CountProcessHandles();
    }
    return n;
}

long IdleHandleCount(const keysim::Key *key, long expected) {
    for (int i = 0; i < 250 && keysim::GetStats(key).openHandles != 0; ++i) Sleep(20);
    if (expected >= 0) return SettledHandleCount(expected);
    Sleep(200);
    return CountProcessHandles();
}

namespace {
HANDLE Start(const std::string &path, const std::string &args) {
    std::string command = "\"" + path + "\" " + args;
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    if (!keysim::StartProcess(command, false, 0, &si, &pi)) return nullptr;
    CloseHandle(pi.hThread);
    return pi.hProcess;
}

std::string Self() {
    char self[MAX_PATH];
    const DWORD n = GetModuleFileNameA(nullptr, self, sizeof self);
    return std::string(self, n);
}
}  // namespace

HANDLE StartSelf(const std::string &args) { return Start(Self(), args); }

HANDLE StartBeside(const std::string &program, const std::string &args) {
    const std::string self = Self();
    return Start(self.substr(0, self.find_last_of("\\/") + 1) + program, args);
}

int FinishProcess(HANDLE process, DWORD timeoutMs) {
    if (!process) return -1;
    DWORD code = DWORD(-1);
    if (WaitForSingleObject(process, timeoutMs) == WAIT_OBJECT_0) {
        GetExitCodeProcess(process, &code);
    } else {
        TerminateProcess(process, 99);
        WaitForSingleObject(process, INFINITE);
    }
    CloseHandle(process);
    return int(code);
}

}  // namespace testsupport
