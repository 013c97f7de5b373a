// Two threads of a program that calls the library's C functions, on one
// traced key, with a slow disk that once cuts a record short: the trace's
// records come in the order the key saw the exchanges, and every one parses.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "format.h"
#include "keysim.h"
#include "olvexlib.h"
#include "support/iat_hook.h"

namespace {

using EnumDevFn = int(OLVEX_API *)(int *);
using ConnectFn = int(OLVEX_API *)(OLVEX_HANDLE *, char *, int);
using DoCommandFn = int(OLVEX_API *)(OLVEX_HANDLE, const unsigned char *, int, unsigned char *, int *);
using DisconnectFn = int(OLVEX_API *)(OLVEX_HANDLE);
using WriteFileFn = decltype(&WriteFile);

constexpr int kPerThread = 40;
constexpr LONG kCutRecord = 15;  // the exchange record whose write the disk cuts short

SRWLOCK g_lock = SRWLOCK_INIT;
std::vector<int> g_keyOrder;  // commands as the library wrote them to the key
int g_cut = -1;               // the command whose record was cut
WriteFileFn g_libraryWrite, g_tracerWrite;
decltype(&TlsSetValue) g_tlsSetValue;
volatile DWORD g_slowThread = 0;
volatile LONG g_records = 0;

int CommandOf(const uint8_t *frame) { return frame[3] << 8 | frame[4]; }

// The library writes under the key's lock: this is the key's order.
BOOL WINAPI LibraryWrite(HANDLE file, LPCVOID data, DWORD n, LPDWORD written, LPOVERLAPPED overlapped) {
    const auto *frame = static_cast<const uint8_t *>(data);
    if (n == 5 && frame[0] == 0xA5) {
        AcquireSRWLockExclusive(&g_lock);
        g_keyOrder.push_back(CommandOf(frame));
        ReleaseSRWLockExclusive(&g_lock);
    }
    return g_libraryWrite(file, data, n, written, overlapped);
}

// A disk that cuts one exchange's record short.
BOOL WINAPI TracerWrite(HANDLE file, LPCVOID data, DWORD n, LPDWORD written, LPOVERLAPPED overlapped) {
    olvextrace::Record r;
    size_t used = 0;
    std::string why;
    const bool exchange = olvextrace::Decode(static_cast<const uint8_t *>(data), n, &r, &used, &why) &&
                          r.call == olvextrace::Call::DoCommand && r.commandKept == 5;
    if (exchange && InterlockedIncrement(&g_records) == kCutRecord) {
        g_cut = CommandOf(r.command);
        return g_tracerWrite(file, data, n / 2, written, overlapped);
    }
    return g_tracerWrite(file, data, n, written, overlapped);
}

// The tracer is done with an exchange: the first thread is held up here, as
// a preempted thread would be, so that a record written only after the key's
// lock is released would land after the other thread's next exchange.
BOOL WINAPI TracerTlsSetValue(DWORD slot, LPVOID value) {
    const BOOL ok = g_tlsSetValue(slot, value);
    if (!value && GetCurrentThreadId() == g_slowThread) Sleep(5);
    return ok;
}

struct Worker {
    DoCommandFn doCommand;
    OLVEX_HANDLE key;
    int thread;
    int failures = 0;
};

DWORD WINAPI Exchanges(void *self) {
    auto *w = static_cast<Worker *>(self);
    if (w->thread == 0) g_slowThread = GetCurrentThreadId();
    for (int i = 0; i < kPerThread; ++i) {
        const unsigned char command[2] = {uint8_t(w->thread), uint8_t(i)};
        unsigned char body[OLVEX_MAX_RESPONSE_BODY];
        int length = 0;
        if (w->doCommand(w->key, command, 2, body, &length) != 0x9000) ++w->failures;
    }
    return 0;
}

std::wstring Folder() {
    wchar_t self[MAX_PATH];
    const DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring path(self, n);
    return path.substr(0, path.find_last_of(L"\\/") + 1);
}

TEST(TraceOrder, TwoThreadsRecordsInTheKeysOrderEveryRecordWhole) {
    wchar_t folder[MAX_PATH], trace[MAX_PATH];
    GetTempPathW(MAX_PATH, folder);
    GetTempFileNameW(folder, L"otr", 0, trace);
    DeleteFileW(trace);
    SetEnvironmentVariableW(L"OLVEX_TRACE", trace);
    SetEnvironmentVariableW(L"OLVEX_LIBRARY", (Folder() + L"Olvexlib.dll").c_str());
    keysim::KeyOptions options;
    options.serial = "trace-order";
    keysim::Key *plugged = keysim::Plug(options);
    ASSERT_NE(plugged, nullptr);

    HMODULE tracer = LoadLibraryExW((Folder() + L"trace\\Olvexlib.dll").c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    ASSERT_NE(tracer, nullptr);
    auto enumDev = reinterpret_cast<EnumDevFn>(reinterpret_cast<void *>(GetProcAddress(tracer, "OLVEX_EnumDEV")));
    auto connect = reinterpret_cast<ConnectFn>(reinterpret_cast<void *>(GetProcAddress(tracer, "OLVEX_Connect")));
    auto doCommand = reinterpret_cast<DoCommandFn>(reinterpret_cast<void *>(GetProcAddress(tracer, "OLVEX_DoCommand")));
    auto disconnect =
        reinterpret_cast<DisconnectFn>(reinterpret_cast<void *>(GetProcAddress(tracer, "OLVEX_Disconnect")));
    int count = 0;
    ASSERT_EQ(enumDev(&count), OLVEX_OK);  // the tracer loads the library and starts the trace
    ASSERT_EQ(count, 1);
    HMODULE library = GetModuleHandleW((Folder() + L"Olvexlib.dll").c_str());
    ASSERT_NE(library, nullptr);
    ASSERT_NE(library, tracer);

    Worker workers[2] = {{doCommand, nullptr, 0}, {doCommand, nullptr, 1}};
    for (Worker &w : workers) ASSERT_EQ(connect(&w.key, nullptr, 0), OLVEX_OK);
    {
        testsupport::ImportHook keyWrites(library, "kernel32.dll", "WriteFile", reinterpret_cast<void *>(&LibraryWrite));
        testsupport::ImportHook traceWrites(tracer, "kernel32.dll", "WriteFile", reinterpret_cast<void *>(&TracerWrite));
        testsupport::ImportHook traceDone(tracer, "kernel32.dll", "TlsSetValue",
                                          reinterpret_cast<void *>(&TracerTlsSetValue));
        ASSERT_TRUE(keyWrites.installed() && traceWrites.installed() && traceDone.installed());
        g_tlsSetValue = traceDone.original<decltype(&TlsSetValue)>();
        g_libraryWrite = keyWrites.original<WriteFileFn>();
        g_tracerWrite = traceWrites.original<WriteFileFn>();
        HANDLE threads[2];
        for (int i = 0; i < 2; ++i) threads[i] = CreateThread(nullptr, 0, &Exchanges, &workers[i], 0, nullptr);
        WaitForMultipleObjects(2, threads, TRUE, 60000);
        for (HANDLE t : threads) CloseHandle(t);
    }
    for (Worker &w : workers) {
        EXPECT_EQ(w.failures, 0);
        disconnect(w.key);
    }
    keysim::Unplug(plugged);

    HANDLE file = CreateFileW(trace, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    std::vector<uint8_t> bytes(GetFileSize(file, nullptr));
    DWORD got = 0;
    ReadFile(file, bytes.data(), DWORD(bytes.size()), &got, nullptr);
    CloseHandle(file);
    DeleteFileW(trace);

    std::vector<int> recorded;
    int bad = 0;
    std::string why;
    olvextrace::ForEachRecord(
        bytes.data(), got,
        [&](const olvextrace::Record &r, int) {
            if (r.call == olvextrace::Call::DoCommand && r.commandKept == 5) recorded.push_back(CommandOf(r.command));
            return true;
        },
        &bad, &why);
    EXPECT_EQ(bad, -1) << "record " << bad << " does not parse: " << why;
    ASSERT_NE(g_cut, -1) << "no record was cut";
    std::vector<int> expected;
    for (int c : g_keyOrder)
        if (c != g_cut) expected.push_back(c);
    ASSERT_EQ(g_keyOrder.size(), size_t(2 * kPerThread));
    EXPECT_EQ(recorded, expected) << "the cut record is taken back, the rest come in the key's order";
}

}  // namespace
