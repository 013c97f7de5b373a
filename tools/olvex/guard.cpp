#include "guard.h"

#include <atomic>
#include <chrono>

namespace olvextool {
namespace {

HANDLE g_interrupt = nullptr;  // manual reset: stays set once interrupted
HANDLE g_main = nullptr;
std::atomic<bool> g_interrupted{false};
std::atomic<bool> g_exchanging{false};

// Runs on a thread of its own. Outside an exchange the tool holds no key's
// lock, and none can be taken once the flag is up, so it ends at once (a
// blocked read of the script from standard input, say). An exchange between
// its lock and its answer is in I/O, so cancelling the main thread's I/O ends
// it; one still waiting for the lock sees the event. Retried, since a cancel
// that comes before the read has started is lost.
BOOL WINAPI OnInterrupt(DWORD type) {
    if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT) return FALSE;
    g_interrupted = true;
    if (!g_exchanging) {
        static const char kText[] = "olvex: interrupted\n";
        DWORD written;
        WriteFile(GetStdHandle(STD_ERROR_HANDLE), kText, sizeof kText - 1, &written, nullptr);
        TerminateProcess(GetCurrentProcess(), 130);
    }
    // From here the exchange reports the interrupt itself.
    SetEvent(g_interrupt);
    while (g_exchanging) {
        CancelSynchronousIo(g_main);
        Sleep(5);
    }
    return TRUE;
}

}  // namespace

void CatchInterrupts() {
    g_interrupt = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &g_main, 0, FALSE,
                    DUPLICATE_SAME_ACCESS);
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

GuardedKey::GuardedKey(const olvex::connection &key, std::error_code &ec) : key_(key) {
    lock_ = OpenMutexA(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, olvex::lock_name(key.path()).c_str());
    ec = lock_ ? std::error_code() : std::error_code(int(GetLastError()), std::system_category());
}

GuardedKey::~GuardedKey() {
    if (lock_) CloseHandle(lock_);
}

Exchanged GuardedKey::Exchange(const std::vector<uint8_t> &payload, int timeoutMs) {
    using clock = std::chrono::steady_clock;
    Exchanged x;
    // Announced before looking at the flag, and the handler sets the flag
    // before looking at this: one of the two always sees the other.
    g_exchanging = true;
    if (g_interrupted) {
        g_exchanging = false;
        x.outcome = Outcome::Interrupted;
        return x;
    }
    const clock::time_point start = clock::now();
    const HANDLE waits[2] = {g_interrupt, lock_};
    const DWORD n = g_interrupt ? 2 : 1;
    const DWORD wait = WaitForMultipleObjects(n, g_interrupt ? waits : waits + 1, FALSE,
                                              timeoutMs < 0 ? INFINITE : DWORD(timeoutMs));
    const DWORD lockSignal = WAIT_OBJECT_0 + n - 1, lockAbandoned = WAIT_ABANDONED_0 + n - 1;
    if (wait != lockSignal && wait != lockAbandoned) {
        g_exchanging = false;
        if (wait == WAIT_TIMEOUT) {
            x.outcome = Outcome::LockHeld;
        } else if (g_interrupted) {
            x.outcome = Outcome::Interrupted;
        } else {
            x.error = std::error_code(int(GetLastError()), std::system_category());
        }
        return x;
    }
    std::chrono::milliseconds left = olvex::no_timeout;
    if (timeoutMs >= 0) {
        left = std::chrono::milliseconds(timeoutMs) -
               std::chrono::duration_cast<std::chrono::milliseconds>(clock::now() - start);
        if (left.count() < 0) left = std::chrono::milliseconds(0);
    }
    x.response = key_.exchange(payload, left, x.error);
    ReleaseMutex(lock_);
    g_exchanging = false;
    if (!x.error) x.outcome = Outcome::Answered;
    else if (g_interrupted) x.outcome = Outcome::Interrupted;
    else if (x.error.value() == ERROR_TIMEOUT) x.outcome = Outcome::NoAnswer;
    else if (x.error.value() == WAIT_TIMEOUT) x.outcome = Outcome::LockHeld;
    return x;
}

}  // namespace olvextool
