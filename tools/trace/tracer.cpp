// The tracer: an Olvexlib.dll that an application loads in place of the real
// one. It loads the real library at the first call (never in DllMain, under
// the loader lock), forwards every call on the caller's thread and, with
// OLVEX_TRACE set, appends one record per call to a pcap file. With
// OLVEX_REPLAY set it loads nothing and answers from a trace (replay.cpp).
//
// The caller must see exactly what the real library gives: the thread's last
// error is handed to the real call as the caller left it, saved right after
// it and restored just before returning, after the record is written. An
// exchange's record is written before the key's lock is released, so one
// key's records are in the order of its exchanges; a record is whole or,
// cut short by a failed write, taken back.
#include "tracer.h"

#include <cstdio>
#include <cstring>
#include <map>
#include <string>

#include "format.h"

using namespace olvextrace;

namespace olvextracer {

void Say(const char *text) {
    char line[1024];
    const int n = snprintf(line, sizeof line, "olvex trace: %s\n", text);
    OutputDebugStringA(line);
    // A console program's user never sees a debugger's output: say it on its
    // standard error too, when it has one.
    const HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
    DWORD written;
    if (n > 0 && err && err != INVALID_HANDLE_VALUE && GetFileType(err) != FILE_TYPE_UNKNOWN)
        WriteFile(err, line, DWORD(n < int(sizeof line) ? n : int(sizeof line) - 1), &written, nullptr);
}

bool Variable(const wchar_t *name, wchar_t *out, DWORD size) {
    const DWORD n = GetEnvironmentVariableW(name, out, size);
    return n > 0 && n < size;
}

bool Enabled(const wchar_t *name) {
    wchar_t value[4];
    return Variable(name, value, 4) && value[0] == L'1' && value[1] == 0;
}

namespace {

using PreciseTime = VOID(WINAPI *)(LPFILETIME);
PreciseTime g_preciseTime;  // Windows 8 and later: microseconds rather than ticks
LARGE_INTEGER g_frequency;

}  // namespace

Timing Begin() {
    FILETIME now;
    if (g_preciseTime)
        g_preciseTime(&now);
    else
        GetSystemTimeAsFileTime(&now);
    Timing t;
    const uint64_t ticks = uint64_t(now.dwHighDateTime) << 32 | now.dwLowDateTime;
    t.startUs = (ticks - 116444736000000000ULL) / 10;
    QueryPerformanceCounter(&t.counter);
    return t;
}

uint32_t ElapsedUs(const Timing &t) {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    const uint64_t us = uint64_t(now.QuadPart - t.counter.QuadPart) * 1000000 / uint64_t(g_frequency.QuadPart);
    return us > 0xFFFFFFFFu ? 0xFFFFFFFFu : uint32_t(us);
}

}  // namespace olvextracer

using namespace olvextracer;

namespace {

using EnumDevFn = int(OLVEX_API *)(int *);
using ConnectFn = int(OLVEX_API *)(OLVEX_HANDLE *, char *, int);
using DoCommandFn = int(OLVEX_API *)(OLVEX_HANDLE, const unsigned char *, int, unsigned char *, int *);
using DisconnectFn = int(OLVEX_API *)(OLVEX_HANDLE);
using ReadFileFn = decltype(&ReadFile);
using ReleaseMutexFn = decltype(&ReleaseMutex);

struct State {
    bool replay = false;
    HMODULE module = nullptr;  // the real library
    DWORD unavailable = 0;  // nonzero: neither the library nor a replay could be had; the calls fail with it
    EnumDevFn enumDev = nullptr;
    ConnectFn connect = nullptr;
    DoCommandFn doCommand = nullptr;
    DisconnectFn disconnect = nullptr;
    HANDLE trace = INVALID_HANDLE_VALUE;
    bool redact = false;
    DWORD slot = TLS_OUT_OF_INDEXES;  // the running exchange's Capture
    ReadFileFn readFile = nullptr;    // the real library's, when its reads are captured
    ReleaseMutexFn releaseMutex = nullptr;  // the real library's, when its release waits for the record
    wchar_t traceName[MAX_PATH * 2] = {};
    bool torn = false;  // a cut record could not be taken back: nothing more is written after it
    LONG writeFailed = 0;
};
State g;
INIT_ONCE g_once = INIT_ONCE_STATIC_INIT;
SRWLOCK g_writeLock = SRWLOCK_INIT;
SRWLOCK g_pathsLock = SRWLOCK_INIT;
std::map<OLVEX_HANDLE, std::string> g_paths;  // open connections and their keys

// What the key answered, as the real library read it; and the key's lock,
// which the library let go of and the tracer releases once the record is
// written, so that one key's records are in the order of its exchanges.
struct Capture {
    uint8_t *data;
    uint32_t size, capacity;
    HANDLE lock;
};

BOOL WINAPI CapturingReadFile(HANDLE file, LPVOID buffer, DWORD n, LPDWORD got, LPOVERLAPPED overlapped) {
    const BOOL ok = g.readFile(file, buffer, n, got, overlapped);
    const DWORD error = GetLastError();
    auto *c = static_cast<Capture *>(TlsGetValue(g.slot));
    if (c && got && !overlapped) {
        const uint32_t take = *got < c->capacity - c->size ? *got : c->capacity - c->size;
        if (take) std::memcpy(c->data + c->size, buffer, take);
        c->size += take;
    }
    SetLastError(error);
    return ok;
}

// The library releases the key's lock once per exchange, after its last read:
// during a traced exchange the release waits for the record. The library's
// own wait has seen the lock as it was, abandoned or not, and drained for it.
BOOL WINAPI DeferredReleaseMutex(HANDLE mutex) {
    const DWORD error = GetLastError();  // TlsGetValue clears it
    auto *c = static_cast<Capture *>(TlsGetValue(g.slot));
    SetLastError(error);
    if (c && !c->lock) {
        c->lock = mutex;
        return TRUE;
    }
    return g.releaseMutex(mutex);
}

// Points the real library's import of kernel32!`name` at `replacement`; the
// address it had, or nullptr.
void *PatchImport(HMODULE module, const char *name, void *replacement) {
    auto *base = reinterpret_cast<BYTE *>(module);
    auto *nt = reinterpret_cast<IMAGE_NT_HEADERS *>(base + reinterpret_cast<IMAGE_DOS_HEADER *>(base)->e_lfanew);
    const IMAGE_DATA_DIRECTORY &imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (!imports.VirtualAddress) return nullptr;
    for (auto *d = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR *>(base + imports.VirtualAddress); d->Name; ++d) {
        if (lstrcmpiA(reinterpret_cast<char *>(base + d->Name), "kernel32.dll") != 0) continue;
        auto *names = reinterpret_cast<IMAGE_THUNK_DATA *>(base + (d->OriginalFirstThunk ? d->OriginalFirstThunk
                                                                                          : d->FirstThunk));
        auto *slots = reinterpret_cast<IMAGE_THUNK_DATA *>(base + d->FirstThunk);
        for (; names->u1.AddressOfData; ++names, ++slots) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
            auto *byName = reinterpret_cast<IMAGE_IMPORT_BY_NAME *>(base + names->u1.AddressOfData);
            if (std::strcmp(reinterpret_cast<char *>(byName->Name), name) != 0) continue;
            DWORD old;
            if (!VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, PAGE_READWRITE, &old)) return nullptr;
            void *was = reinterpret_cast<void *>(slots->u1.Function);
            slots->u1.Function = reinterpret_cast<ULONG_PTR>(replacement);
            VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, old, &old);
            return was;
        }
    }
    return nullptr;
}

// Routes the real library's ReadFile through CapturingReadFile, so that a
// trace holds the frames the key sent, refused ones included; and its
// ReleaseMutex through DeferredReleaseMutex.
bool CaptureReads(HMODULE module) {
    g.releaseMutex = reinterpret_cast<ReleaseMutexFn>(
        PatchImport(module, "ReleaseMutex", reinterpret_cast<void *>(&DeferredReleaseMutex)));
    if (!g.releaseMutex) Say("records may come out of the order of the key's exchanges");
    g.readFile = reinterpret_cast<ReadFileFn>(PatchImport(module, "ReadFile", reinterpret_cast<void *>(&CapturingReadFile)));
    return g.readFile != nullptr;
}

// OLVEX_LIBRARY, or Olvexlib.dll in the folder above the tracer's own.
bool RealLibraryPath(wchar_t *path, DWORD size) {
    if (Variable(L"OLVEX_LIBRARY", path, size)) return true;
    HMODULE self;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCWSTR>(&RealLibraryPath), &self))
        return false;
    const DWORD n = GetModuleFileNameW(self, path, size);
    if (n == 0 || n >= size) return false;
    for (int separators = 0; separators < 2;) {
        wchar_t *cut = wcsrchr(path, L'\\');
        if (!cut) return false;
        *cut = 0;
        ++separators;
    }
    if (wcslen(path) + 14 >= size) return false;
    wcscat(path, L"\\Olvexlib.dll");
    return true;
}

void LoadRealLibrary() {
    wchar_t path[MAX_PATH * 2];
    char why[700];
    if (!RealLibraryPath(path, MAX_PATH * 2)) {
        g.unavailable = ERROR_MOD_NOT_FOUND;
        Say("cannot tell where the real Olvexlib.dll is: set OLVEX_LIBRARY");
        return;
    }
    HMODULE self = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(&LoadRealLibrary), &self);
    HMODULE real = LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (!real || real == self) {
        g.unavailable = real ? ERROR_MOD_NOT_FOUND : GetLastError();
        snprintf(why, sizeof why, "cannot load the real library %ls: %s (error %lu)", path,
                 real ? "that is the tracer itself" : "LoadLibrary failed", g.unavailable);
        Say(why);
        return;
    }
    g.module = real;
    g.enumDev = reinterpret_cast<EnumDevFn>(reinterpret_cast<void *>(GetProcAddress(real, "OLVEX_EnumDEV")));
    g.connect = reinterpret_cast<ConnectFn>(reinterpret_cast<void *>(GetProcAddress(real, "OLVEX_Connect")));
    g.doCommand = reinterpret_cast<DoCommandFn>(reinterpret_cast<void *>(GetProcAddress(real, "OLVEX_DoCommand")));
    g.disconnect = reinterpret_cast<DisconnectFn>(reinterpret_cast<void *>(GetProcAddress(real, "OLVEX_Disconnect")));
    if (!g.enumDev || !g.connect || !g.doCommand || !g.disconnect) {
        g.unavailable = ERROR_PROC_NOT_FOUND;
        snprintf(why, sizeof why, "%ls lacks the library's exports", path);
        Say(why);
    }
}

// Opens OLVEX_TRACE for appending, starting the file when it is empty. Any
// failure leaves tracing off, said once.
void OpenTrace() {
    wchar_t pattern[MAX_PATH * 2], name[MAX_PATH * 2];
    if (!Variable(L"OLVEX_TRACE", pattern, MAX_PATH * 2)) return;
    char why[900];
    if (!ExpandTraceName(pattern, GetCurrentProcessId(), name, MAX_PATH * 2)) {
        snprintf(why, sizeof why, "not tracing: OLVEX_TRACE %ls is too long", pattern);
        return Say(why);
    }
    // Appends only: each record lands whole at the end, whoever else writes.
    HANDLE file = CreateFileW(name, GENERIC_READ | FILE_APPEND_DATA,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        snprintf(why, sizeof why, "not tracing: cannot open %ls (error %lu)", name, GetLastError());
        return Say(why);
    }
    // Another process may be starting the same file: one of them writes its header.
    OVERLAPPED whole = {};
    LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &whole);
    LARGE_INTEGER size = {};
    uint8_t header[kFileHeaderSize];
    std::string problem;
    DWORD n = 0;
    bool ok = GetFileSizeEx(file, &size);
    if (ok && size.QuadPart == 0) {
        EncodeFileHeader(header);
        ok = WriteFile(file, header, sizeof header, &n, nullptr) && n == sizeof header;
        if (!ok) problem = "cannot write its header";
    } else if (ok) {
        ok = ReadFile(file, header, sizeof header, &n, nullptr) && CheckFileHeader(header, n, &problem);
        if (problem.empty() && !ok) problem = "cannot read it";
    }
    UnlockFileEx(file, 0, 1, 0, &whole);
    if (!ok) {
        CloseHandle(file);
        snprintf(why, sizeof why, "not tracing to %ls: %s", name, problem.c_str());
        return Say(why);
    }
    g.trace = file;
    lstrcpynW(g.traceName, name, MAX_PATH * 2);
    g.redact = Enabled(L"OLVEX_TRACE_REDACT");
}

BOOL CALLBACK Start(PINIT_ONCE, PVOID, PVOID *) {
    QueryPerformanceFrequency(&g_frequency);
    g_preciseTime = reinterpret_cast<PreciseTime>(
        reinterpret_cast<void *>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "GetSystemTimePreciseAsFileTime")));
    wchar_t replay[MAX_PATH * 2];
    if (Variable(L"OLVEX_REPLAY", replay, MAX_PATH * 2)) {
        g.replay = true;
        if (!StartReplay(replay, &g.unavailable) && !g.unavailable) g.unavailable = ERROR_INVALID_DATA;
        return TRUE;
    }
    LoadRealLibrary();
    if (g.unavailable) return TRUE;
    OpenTrace();
    if (g.trace == INVALID_HANDLE_VALUE) return TRUE;
    g.slot = TlsAlloc();
    if (g.slot == TLS_OUT_OF_INDEXES || !CaptureReads(g.module)) Say("the keys' answers are not captured");
    return TRUE;
}

// Starts the tracer at its first call; false when the calls must fail (the
// last error is then set).
bool Ready() {
    InitOnceExecuteOnce(&g_once, Start, nullptr, nullptr);
    if (!g.unavailable) return true;
    SetLastError(g.unavailable);
    return false;
}

bool Tracing() { return g.trace != INVALID_HANDLE_VALUE; }

// Under the write lock: removes the `written` bytes of a record cut short
// from the end of the trace, if they are still its last bytes (another
// process may share the file). False when they stay.
bool TakeBack(const uint8_t *bytes, DWORD written) {
    HANDLE file = CreateFileW(g.traceName, GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    LARGE_INTEGER end = {}, start = {};
    bool ours = GetFileSizeEx(file, &end) && end.QuadPart >= written;
    auto *tail = static_cast<uint8_t *>(HeapAlloc(GetProcessHeap(), 0, written));
    start.QuadPart = end.QuadPart - written;
    DWORD got = 0;
    ours = ours && tail && SetFilePointerEx(file, start, nullptr, FILE_BEGIN) &&
           ReadFile(file, tail, written, &got, nullptr) && got == written && std::memcmp(tail, bytes, written) == 0;
    const bool undone = ours && SetFilePointerEx(file, start, nullptr, FILE_BEGIN) && SetEndOfFile(file);
    if (tail) HeapFree(GetProcessHeap(), 0, tail);
    CloseHandle(file);
    return undone;
}

// Completes the record and appends it. `room`, when given, holds at least
// EncodedSize(r) bytes (the frames may already lie where Encode puts them).
void Write(Record &r, const Timing &t, int result, DWORD error, uint8_t *room = nullptr) {
    r.timeUs = t.startUs;
    r.durationUs = ElapsedUs(t);
    r.result = result;
    r.error = error;
    r.processId = GetCurrentProcessId();
    r.threadId = GetCurrentThreadId();
    if (g.redact) Redact(&r);
    const size_t n = EncodedSize(r);
    auto *bytes = room ? room : static_cast<uint8_t *>(HeapAlloc(GetProcessHeap(), 0, n));
    if (!bytes) return;
    Encode(r, bytes);
    DWORD written = 0;
    AcquireSRWLockExclusive(&g_writeLock);
    const BOOL ok = !g.torn && WriteFile(g.trace, bytes, DWORD(n), &written, nullptr);
    const bool cut = written != 0 && written != n;
    if (cut) g.torn = !TakeBack(bytes, written);
    ReleaseSRWLockExclusive(&g_writeLock);
    if (!room) HeapFree(GetProcessHeap(), 0, bytes);
    if (cut && g.torn) Say("a record was cut short and could not be taken back: the trace ends there");
    else if ((!ok || written != n) && InterlockedExchange(&g.writeFailed, 1) == 0) Say("a record could not be written");
}

void SetPath(Record *r, const std::string &path) {
    r->path = path.data();
    r->pathLength = uint16_t(path.size() < kMaxPath ? path.size() : kMaxPath);
}

}  // namespace

extern "C" int OLVEX_API OLVEX_EnumDEV(int *count) {
    const DWORD entry = GetLastError();
    if (!Ready()) return OLVEX_FAIL;
    SetLastError(entry);
    if (g.replay) return ReplayEnumDev(count);
    if (!Tracing()) return g.enumDev(count);
    const Timing t = Begin();
    SetLastError(entry);
    const int result = g.enumDev(count);
    const DWORD error = GetLastError();
    Record r;
    r.call = Call::EnumDev;
    r.flags = count ? 0 : kArgumentsRefused;
    r.argument = count && result == OLVEX_OK ? *count : 0;
    Write(r, t, result, error);
    SetLastError(error);
    return result;
}

extern "C" int OLVEX_API OLVEX_Connect(OLVEX_HANDLE *connection, char *pathOut, int index) {
    const DWORD entry = GetLastError();
    if (!Ready()) return OLVEX_FAIL;
    SetLastError(entry);
    if (g.replay) return ReplayConnect(connection, pathOut, index);
    if (!Tracing()) return g.connect(connection, pathOut, index);
    // The path into a buffer of our own, so it is known whatever the caller
    // passed; the caller's gets the same bytes (no terminator) as from the library.
    char path[OLVEX_PATH_SIZE + 1] = {};
    std::string key;
    const Timing t = Begin();
    SetLastError(entry);
    const int result = g.connect(connection, path, index);
    const DWORD error = GetLastError();
    Record r;
    r.call = Call::Connect;
    r.flags = connection ? 0 : kArgumentsRefused;
    r.argument = index;
    if (result == OLVEX_OK) {
        key = path;
        if (pathOut) std::memcpy(pathOut, path, key.size());
        r.connection = uint64_t(uintptr_t(*connection));
        AcquireSRWLockExclusive(&g_pathsLock);
        g_paths[*connection] = key;
        ReleaseSRWLockExclusive(&g_pathsLock);
    }
    SetPath(&r, key);
    Write(r, t, result, error);
    SetLastError(error);
    return result;
}

extern "C" int OLVEX_API OLVEX_DoCommand(OLVEX_HANDLE connection, const unsigned char *command, int commandLength,
                                         unsigned char *response, int *responseLength) {
    const DWORD entry = GetLastError();
    if (!Ready()) return OLVEX_FAIL;
    SetLastError(entry);
    if (g.replay) return ReplayDoCommand(connection, command, commandLength, response, responseLength);
    if (!Tracing()) return g.doCommand(connection, command, commandLength, response, responseLength);

    const bool valid = CommandArgumentsValid(command, commandLength, response, responseLength);
    const uint32_t commandFrame = valid ? uint32_t(commandLength) + 3 : 0;
    std::string key;
    AcquireSRWLockShared(&g_pathsLock);
    auto found = g_paths.find(connection);
    if (found != g_paths.end()) key = found->second;
    ReleaseSRWLockShared(&g_pathsLock);
    Record r;
    r.call = Call::DoCommand;
    r.argument = commandLength;
    r.connection = uint64_t(uintptr_t(connection));
    SetPath(&r, key);
    // The record in one allocation, the frames already where Encode puts them:
    // the answer is read into place, and large answers are copied once.
    const size_t frames = kPacketHeaderSize + kRecordHeaderSize + r.pathLength;
    auto *bytes = static_cast<uint8_t *>(HeapAlloc(GetProcessHeap(), 0, frames + commandFrame + kMaxResponseFrame));
    Capture capture = {bytes ? bytes + frames + commandFrame : nullptr, 0, bytes ? kMaxResponseFrame : 0, nullptr};
    TlsSetValue(g.slot, &capture);

    const Timing t = Begin();
    SetLastError(entry);
    const int result = g.doCommand(connection, command, commandLength, response, responseLength);
    const DWORD error = GetLastError();

    TlsSetValue(g.slot, nullptr);
    if (!valid) {
        r.flags |= kArgumentsRefused;
    } else if (bytes) {
        BuildCommandFrame(command, commandLength, bytes + frames);
        r.command = bytes + frames;
        r.commandLength = r.commandKept = commandFrame;
    }
    r.response = capture.data;
    r.responseLength = r.responseKept = capture.size;
    Write(r, t, result, error, bytes);
    if (capture.lock) g.releaseMutex(capture.lock);
    if (bytes) HeapFree(GetProcessHeap(), 0, bytes);
    SetLastError(error);
    return result;
}

extern "C" int OLVEX_API OLVEX_Disconnect(OLVEX_HANDLE connection) {
    const DWORD entry = GetLastError();
    if (!Ready()) return OLVEX_FAIL;
    SetLastError(entry);
    if (g.replay) return ReplayDisconnect(connection);
    if (!Tracing()) return g.disconnect(connection);
    // Forgotten before the library frees it: a Connect on another thread may
    // then be handed the same value.
    std::string key;
    AcquireSRWLockExclusive(&g_pathsLock);
    auto found = g_paths.find(connection);
    if (found != g_paths.end()) {
        key = found->second;
        g_paths.erase(found);
    }
    ReleaseSRWLockExclusive(&g_pathsLock);
    const Timing t = Begin();
    SetLastError(entry);
    const int result = g.disconnect(connection);
    const DWORD error = GetLastError();
    Record r;
    r.call = Call::Disconnect;
    r.connection = uint64_t(uintptr_t(connection));
    SetPath(&r, key);
    Write(r, t, result, error);
    SetLastError(error);
    return result;
}
