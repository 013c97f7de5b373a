// Replay: the four calls answered from a trace, with no library and no key.
// Connections are objects of our own; each command must be the next one
// recorded for its key. The first divergence is said through
// OutputDebugString and appended to OLVEX_REPLAY_LOG.
//
// Each connection holds its key's lock, the named mutex olvexlib.h describes,
// as the library's do: programs that serialise with it (olvexlib.hpp's timed
// exchanges among them) open it by name. Replayed exchanges do not wait for
// it: with no key there is nothing to share, and a wait costs more than the
// whole answer.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "format.h"
#include "replay_book.h"
#include "tracer.h"

using namespace olvextrace;

namespace olvextracer {

namespace {

struct ReplayKey {
    std::string path;
    HANDLE lock;
};

// The path written backwards, each backslash made 'a'.
HANDLE CreateKeyLock(const std::string &path) {
    std::string name(path.rbegin(), path.rend());
    for (char &c : name)
        if (c == '\\') c = 'a';
    return CreateMutexA(nullptr, FALSE, name.c_str());
}

SRWLOCK g_lock = SRWLOCK_INIT;
ReplayBook *g_book;                // answers; built once, kept for the process
std::vector<ReplayKey *> g_open;   // connections handed out and not yet closed
bool g_timing;
bool g_diverged;
std::string g_file;  // OLVEX_REPLAY's value, as the user wrote it

// Said once: later refusals mostly follow from the first.
void Diverged(const std::string &what) {
    if (g_diverged) return;
    g_diverged = true;
    // Named after the variable that asked for it: a replay's refusal is no key's fault.
    const std::string line = "OLVEX_REPLAY=" + g_file + ": replay diverged: " + what;
    Say(line.c_str());
    wchar_t log[MAX_PATH * 2];
    if (!Variable(L"OLVEX_REPLAY_LOG", log, MAX_PATH * 2)) return;
    HANDLE file = CreateFileW(log, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    const std::string text = line + "\r\n";
    DWORD n;
    WriteFile(file, text.data(), DWORD(text.size()), &n, nullptr);
    CloseHandle(file);
}

ReplayKey *Find(OLVEX_HANDLE connection) {
    for (ReplayKey *k : g_open)
        if (k == reinterpret_cast<ReplayKey *>(connection)) return k;
    return nullptr;
}

// With OLVEX_REPLAY_TIMING=1 a call takes as long as it did when recorded.
int Finish(const Timing &t, uint32_t durationUs, int result, DWORD error) {
    if (g_timing) {
        for (uint32_t spent = ElapsedUs(t); spent < durationUs; spent = ElapsedUs(t))
            Sleep((durationUs - spent + 999) / 1000);
    }
    SetLastError(error);
    return result;
}

}  // namespace

bool StartReplay(const wchar_t *file, DWORD *error) {
    char why[900];
    g_timing = Enabled(L"OLVEX_REPLAY_TIMING");
    char narrow[MAX_PATH * 2];
    g_file = WideCharToMultiByte(CP_UTF8, 0, file, -1, narrow, sizeof narrow, nullptr, nullptr) ? narrow : "?";
    HANDLE h = CreateFileW(file, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    LARGE_INTEGER size = {};
    if (h == INVALID_HANDLE_VALUE || !GetFileSizeEx(h, &size) || size.QuadPart > 0x7FFFFFFF) {
        *error = h == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_FILE_TOO_LARGE;
        if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
        snprintf(why, sizeof why, "cannot replay %ls (error %lu)", file, *error);
        Diverged(why);
        return false;
    }
    // The book's records point into these bytes: they stay for the process.
    auto *bytes = static_cast<uint8_t *>(HeapAlloc(GetProcessHeap(), 0, size_t(size.QuadPart) + 1));
    DWORD got = 0;
    const bool read = bytes && ReadFile(h, bytes, DWORD(size.QuadPart), &got, nullptr) && got == size.QuadPart;
    CloseHandle(h);
    if (!read) {
        *error = bytes ? ERROR_READ_FAULT : ERROR_NOT_ENOUGH_MEMORY;
        snprintf(why, sizeof why, "cannot read %ls", file);
        Diverged(why);
        return false;
    }
    g_book = new ReplayBook;
    int bad;
    std::string problem;
    ForEachRecord(
        bytes, got,
        [](const Record &r, int number) {
            g_book->Add(r, number);
            return true;
        },
        &bad, &problem);
    if (bad == 0) {
        *error = ERROR_INVALID_DATA;
        snprintf(why, sizeof why, "cannot replay %ls: %s", file, problem.c_str());
        Diverged(why);
        return false;
    }
    if (bad > 0) {
        snprintf(why, sizeof why, "%ls: record %d: %s; replaying the records before it", file, bad, problem.c_str());
        Say(why);
    }
    return true;
}

int ReplayEnumDev(int *count) {
    const Timing t = Begin();
    if (!count) return Finish(t, 0, OLVEX_FAIL, ERROR_INVALID_PARAMETER);
    AcquireSRWLockExclusive(&g_lock);
    const ReplayBook::Answer a = g_book->EnumDev();
    ReleaseSRWLockExclusive(&g_lock);
    if (a.result == OLVEX_OK) *count = a.count;
    return Finish(t, a.durationUs, a.result, a.error);
}

int ReplayConnect(OLVEX_HANDLE *connection, char *pathOut, int index) {
    const Timing t = Begin();
    if (!connection) return Finish(t, 0, OLVEX_FAIL, ERROR_INVALID_PARAMETER);
    AcquireSRWLockExclusive(&g_lock);
    const ReplayBook::Answer a = g_book->Connect(index);
    if (a.result == OLVEX_OK) {
        auto *key = new ReplayKey{a.path, CreateKeyLock(a.path)};
        g_open.push_back(key);
        *connection = reinterpret_cast<OLVEX_HANDLE>(key);
        if (pathOut) std::memcpy(pathOut, a.path.data(), a.path.size());
    }
    ReleaseSRWLockExclusive(&g_lock);
    return Finish(t, a.durationUs, a.result, a.error);
}

int ReplayDoCommand(OLVEX_HANDLE connection, const unsigned char *command, int commandLength,
                    unsigned char *response, int *responseLength) {
    const Timing t = Begin();
    AcquireSRWLockExclusive(&g_lock);
    const ReplayKey *key = Find(connection);
    const std::string path = key ? key->path : std::string();
    ReleaseSRWLockExclusive(&g_lock);
    if (!key) return Finish(t, 0, OLVEX_FAIL, ERROR_INVALID_HANDLE);
    if (!CommandArgumentsValid(command, commandLength, response, responseLength))
        return Finish(t, 0, OLVEX_FAIL, ERROR_INVALID_PARAMETER);
    std::vector<uint8_t> frame(size_t(commandLength) + 3);
    BuildCommandFrame(command, commandLength, frame.data());
    AcquireSRWLockExclusive(&g_lock);
    const ReplayBook::Answer a = g_book->DoCommand(path, frame.data(), uint32_t(frame.size()));
    if (!a.divergence.empty()) Diverged(a.divergence);
    ReleaseSRWLockExclusive(&g_lock);
    if (a.result >= 0) {
        std::memcpy(response, a.body, size_t(a.bodyLength));
        *responseLength = a.bodyLength;
    }
    return Finish(t, a.durationUs, a.result, a.error);
}

int ReplayDisconnect(OLVEX_HANDLE connection) {
    if (!connection) return OLVEX_OK;
    AcquireSRWLockExclusive(&g_lock);
    ReplayKey *key = Find(connection);
    if (key) {
        g_open.erase(std::find(g_open.begin(), g_open.end(), key));
        if (key->lock) CloseHandle(key->lock);
        delete key;
    }
    ReleaseSRWLockExclusive(&g_lock);
    if (!key) SetLastError(ERROR_INVALID_HANDLE);
    return key ? OLVEX_OK : OLVEX_FAIL;
}

}  // namespace olvextracer
