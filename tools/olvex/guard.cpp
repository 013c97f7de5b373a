#include "guard.h"

#include <atomic>
#include <chrono>

namespace olvextool {
namespace {

HANDLE g_interrupt = nullptr;  // manual reset: stays set once interrupted
std::atomic<bool> g_interrupted{false};
// Raised before the handler cancels: an exchange that had not begun when the
// cancel came sees it when it does.
volatile LONG g_cancelled = 0;
std::atomic<int> g_open{0};
// The exchange under way, if any; the handler cancels it under the lock, so
// a cancel never outlives the exchange it was meant for.
SRWLOCK g_lock = SRWLOCK_INIT;
const olvex::exchanger *g_current = nullptr;

[[noreturn]] void EndNow() {
    static const char kText[] = "olvex: interrupted\n";
    DWORD written;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), kText, sizeof kText - 1, &written, nullptr);
    TerminateProcess(GetCurrentProcess(), 130);
    ExitProcess(130);
}

// Runs on a thread of its own.
BOOL WINAPI OnInterrupt(DWORD type) {
    const bool closing = type == CTRL_CLOSE_EVENT || type == CTRL_LOGOFF_EVENT || type == CTRL_SHUTDOWN_EVENT;
    if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT && !closing) return FALSE;
    if (g_interrupted.exchange(true) && !closing) EndNow();
    InterlockedExchange(&g_cancelled, 1);
    SetEvent(g_interrupt);
    AcquireSRWLockShared(&g_lock);
    const bool exchanging = g_current != nullptr;
    if (exchanging) g_current->cancel();
    ReleaseSRWLockShared(&g_lock);
    // The process ends once this returns, whatever the commands are doing:
    // an answer the key still owes gets its grace here.
    if (closing) {
        olvex::close_all();
        return TRUE;
    }
    // With no key open nothing is owed to anyone: a blocked read of a script
    // from standard input, say, need not be waited for.
    if (!exchanging && g_open == 0) EndNow();
    return TRUE;
}

}  // namespace

void CatchInterrupts() {
    g_interrupt = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    // A parent that ignores Ctrl-C passes that on; this tool wants it.
    SetConsoleCtrlHandler(nullptr, FALSE);
    SetConsoleCtrlHandler(OnInterrupt, TRUE);
}

bool Interrupted() { return g_interrupted; }

bool SleepUnlessInterrupted(DWORD ms) {
    if (!g_interrupt) {
        Sleep(ms);
        return false;
    }
    return WaitForSingleObject(g_interrupt, ms) == WAIT_OBJECT_0;
}

OpenKey::OpenKey() { ++g_open; }
OpenKey::~OpenKey() { --g_open; }

std::error_code Begin(const olvex::connection &key, int timeoutMs, olvex::transaction *tx) {
    AcquireSRWLockExclusive(&g_lock);
    if (g_interrupted) {
        ReleaseSRWLockExclusive(&g_lock);
        return std::error_code(ERROR_OPERATION_ABORTED, olvex::category());
    }
    g_current = &key;
    ReleaseSRWLockExclusive(&g_lock);
    std::error_code ec;
    *tx = key.begin(timeoutMs < 0 ? olvex::no_timeout : std::chrono::milliseconds(timeoutMs), ec);
    AcquireSRWLockExclusive(&g_lock);
    g_current = nullptr;
    ReleaseSRWLockExclusive(&g_lock);
    return ec;
}

Exchanged Exchange(const olvex::exchanger &key, const std::vector<uint8_t> &payload, int timeoutMs) {
    Exchanged x;
    // The handler sets the flag before it looks for an exchange, and this
    // looks at the flag under the lock it registers under: one of the two
    // always sees the other.
    AcquireSRWLockExclusive(&g_lock);
    if (g_interrupted) {
        ReleaseSRWLockExclusive(&g_lock);
        x.outcome = Outcome::Interrupted;
        return x;
    }
    g_current = &key;
    ReleaseSRWLockExclusive(&g_lock);
    // Even without --timeout the exchange runs on the connection's thread,
    // which is what lets Ctrl-C end it.
    const std::chrono::milliseconds limit = timeoutMs < 0 ? olvex::max_timeout : std::chrono::milliseconds(timeoutMs);
    x.response = key.exchange(payload.data(), payload.size(), limit, x.error, &g_cancelled);
    AcquireSRWLockExclusive(&g_lock);
    g_current = nullptr;
    ReleaseSRWLockExclusive(&g_lock);
    if (!x.error) x.outcome = Outcome::Answered;
    else if (g_interrupted && x.error.value() == ERROR_OPERATION_ABORTED) x.outcome = Outcome::Interrupted;
    else if (x.error.value() == ERROR_TIMEOUT) x.outcome = Outcome::NoAnswer;
    else if (x.error.value() == WAIT_TIMEOUT) x.outcome = Outcome::LockHeld;
    else if (x.error.value() == ERROR_DEVICE_NOT_CONNECTED) x.outcome = Outcome::Removed;
    return x;
}

}  // namespace olvextool
