// Olvexkit.dll: olvexlib.hpp's connections for the bindings, behind a C
// interface. Nothing of its own: each export hands one call to the header, so
// every layer gives up on a key, cancels and closes the same way.
#define OLVEXKIT_EXPORT
#include "olvexkit.h"

#include "olvexlib.hpp"

#include <algorithm>
#include <deque>

struct OLVEXKIT_Key {
    olvex::connection connection;
};

// Events wait here for the binding's thread to take them.
struct OLVEXKIT_Watcher {
    SRWLOCK lock = SRWLOCK_INIT;
    CONDITION_VARIABLE changed = CONDITION_VARIABLE_INIT;
    std::deque<OLVEXKIT_EVENT> events;
    bool stopped = false;
    olvex::key_watcher *watcher = nullptr;
};

namespace {

unsigned long Report(const std::error_code &ec) {
    const DWORD e = ec ? static_cast<DWORD>(ec.value()) : 0;
    ::SetLastError(e);
    return e;
}

unsigned long Report(DWORD e) {
    ::SetLastError(e);
    return e;
}

// The kit's time limit as the header takes it.
std::chrono::milliseconds LimitOf(unsigned long timeoutMs) {
    return timeoutMs == OLVEXKIT_NO_TIMEOUT ? olvex::no_timeout : std::chrono::milliseconds(timeoutMs);
}

void Fill(const olvex::key_info &k, OLVEXKIT_KEYINFO *out) {
    std::memset(out, 0, sizeof *out);
    std::memcpy(out->path, k.path.c_str(), (std::min)(k.path.size(), sizeof out->path - 1));
    const FILETIME time = olvex::detail::to_filetime(k.attached);
    out->attached = static_cast<unsigned long long>(time.dwHighDateTime) << 32 | time.dwLowDateTime;
}

void CopyPath(const std::string &text, char *out) {
    const size_t n = (std::min)(text.size(), size_t(OLVEXKIT_PATH_BUFFER - 1));
    std::memcpy(out, text.c_str(), n);
    out[n] = 0;
}

unsigned long Adopt(olvex::connection &&c, OLVEXKIT_KEY *key, char *pathOut) {
    auto *k = new (std::nothrow) OLVEXKIT_Key;
    if (!k) return Report(ERROR_NOT_ENOUGH_MEMORY);
    k->connection = std::move(c);
    if (pathOut) {
        const std::string &path = k->connection.path();
        std::memcpy(pathOut, path.c_str(), path.size() + 1);
    }
    *key = k;
    return Report(0);
}

}  // namespace

extern "C" unsigned long OLVEXKIT_API OLVEXKIT_KeyCount(int *count) {
    if (!count) return Report(ERROR_INVALID_PARAMETER);
    std::error_code ec;
    const int n = olvex::key_count(ec);
    if (ec) return Report(ec);
    *count = n;
    return Report(0);
}

extern "C" unsigned long OLVEXKIT_API OLVEXKIT_Open(OLVEXKIT_KEY *key, int index, char *pathOut) {
    if (!key) return Report(ERROR_INVALID_PARAMETER);
    std::error_code ec;
    olvex::connection c(index, ec);
    if (ec) return Report(ec);
    return Adopt(std::move(c), key, pathOut);
}

extern "C" unsigned long OLVEXKIT_API OLVEXKIT_OpenPath(OLVEXKIT_KEY *key, const char *path) {
    if (!key || !path) return Report(ERROR_INVALID_PARAMETER);
    std::error_code ec;
    olvex::connection c(std::string(path), ec);
    if (ec) return Report(ec);
    return Adopt(std::move(c), key, nullptr);
}

extern "C" unsigned long OLVEXKIT_API OLVEXKIT_Identify(const char *path, unsigned short *vendorId,
                                                        unsigned short *productId, char *serial) {
    if (!path) return Report(ERROR_INVALID_PARAMETER);
    const olvex::key_identity id = olvex::identify(path);
    if (vendorId) *vendorId = id.vendor_id;
    if (productId) *productId = id.product_id;
    // A serial is part of a path, which fits the buffer.
    if (serial) CopyPath(id.serial, serial);
    return Report(0);
}

extern "C" unsigned long OLVEXKIT_API OLVEXKIT_OpenSerial(OLVEXKIT_KEY *key, const char *serial, char *pathOut,
                                                          char *otherPathOut) {
    if (!key || !serial) return Report(ERROR_INVALID_PARAMETER);
    std::error_code ec;
    std::vector<std::string> claimants;
    olvex::connection c = olvex::connection::open_serial(serial, ec, &claimants);
    if (ec) {
        if (pathOut && claimants.size() > 1) CopyPath(claimants[0], pathOut);
        if (otherPathOut && claimants.size() > 1) CopyPath(claimants[1], otherPathOut);
        return Report(ec);
    }
    return Adopt(std::move(c), key, pathOut);
}

extern "C" unsigned long OLVEXKIT_API OLVEXKIT_Keys(OLVEXKIT_KEYINFO *keys, int capacity, int *count) {
    if (!count || capacity < 0 || (!keys && capacity > 0)) return Report(ERROR_INVALID_PARAMETER);
    std::error_code ec;
    const std::vector<olvex::key_info> found = olvex::keys(ec);
    if (ec) return Report(ec);
    const size_t n = (std::min)(found.size(), static_cast<size_t>(capacity));
    for (size_t i = 0; i < n; ++i) Fill(found[i], &keys[i]);
    *count = static_cast<int>(n);
    return Report(0);
}

extern "C" unsigned long OLVEXKIT_API OLVEXKIT_Watch(OLVEXKIT_WATCHER *watcher, unsigned long intervalMs) {
    if (!watcher) return Report(ERROR_INVALID_PARAMETER);
    auto *w = new (std::nothrow) OLVEXKIT_Watcher;
    if (!w) return Report(ERROR_NOT_ENOUGH_MEMORY);
    std::error_code ec;
    const std::chrono::milliseconds interval =
        intervalMs ? std::chrono::milliseconds(intervalMs) : olvex::key_watcher::default_interval;
    w->watcher = new (std::nothrow) olvex::key_watcher(
        [w](const olvex::key_event &e) {
            OLVEXKIT_EVENT out;
            Fill(e.key, &out.key);
            out.what = e.what == olvex::key_event::attached ? OLVEXKIT_ATTACHED : OLVEXKIT_REMOVED;
            out.reserved = 0;
            AcquireSRWLockExclusive(&w->lock);
            w->events.push_back(out);
            WakeAllConditionVariable(&w->changed);
            ReleaseSRWLockExclusive(&w->lock);
        },
        ec, interval);
    if (!w->watcher || ec) {
        const DWORD e = ec ? static_cast<DWORD>(ec.value()) : ERROR_NOT_ENOUGH_MEMORY;
        delete w->watcher;
        delete w;
        return Report(e);
    }
    *watcher = w;
    return Report(0);
}

extern "C" unsigned long OLVEXKIT_API OLVEXKIT_NextEvent(OLVEXKIT_WATCHER watcher, OLVEXKIT_EVENT *event,
                                                         unsigned long waitMs) {
    if (!watcher) return Report(ERROR_INVALID_HANDLE);
    if (!event) return Report(ERROR_INVALID_PARAMETER);
    const ULONGLONG deadline = GetTickCount64() + waitMs;
    AcquireSRWLockExclusive(&watcher->lock);
    DWORD result = 0;
    for (;;) {
        if (watcher->stopped) {
            result = ERROR_NO_MORE_ITEMS;
            break;
        }
        if (!watcher->events.empty()) {
            *event = watcher->events.front();
            watcher->events.pop_front();
            break;
        }
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline) {
            result = WAIT_TIMEOUT;
            break;
        }
        SleepConditionVariableSRW(&watcher->changed, &watcher->lock, static_cast<DWORD>(deadline - now), 0);
    }
    ReleaseSRWLockExclusive(&watcher->lock);
    return Report(result);
}

extern "C" unsigned long OLVEXKIT_API OLVEXKIT_WatchNotified(OLVEXKIT_WATCHER watcher, int *notified) {
    if (!watcher) return Report(ERROR_INVALID_HANDLE);
    if (!notified) return Report(ERROR_INVALID_PARAMETER);
    *notified = watcher->watcher->notified() ? 1 : 0;
    return Report(0);
}

extern "C" unsigned long OLVEXKIT_API OLVEXKIT_StopWatch(OLVEXKIT_WATCHER watcher) {
    if (!watcher) return Report(ERROR_INVALID_HANDLE);
    // After this no event is added, so none is lost to a reader that was woken.
    watcher->watcher->stop();
    AcquireSRWLockExclusive(&watcher->lock);
    watcher->stopped = true;
    WakeAllConditionVariable(&watcher->changed);
    ReleaseSRWLockExclusive(&watcher->lock);
    return Report(0);
}

extern "C" unsigned long OLVEXKIT_API OLVEXKIT_CloseWatch(OLVEXKIT_WATCHER watcher) {
    if (!watcher) return Report(0);
    OLVEXKIT_StopWatch(watcher);
    delete watcher->watcher;
    delete watcher;
    return Report(0);
}

extern "C" unsigned long OLVEXKIT_API OLVEXKIT_Exchange(OLVEXKIT_KEY key, const void *command, int commandLength,
                                                        void *response, int *responseLength, int *status,
                                                        unsigned long timeoutMs) {
    return OLVEXKIT_ExchangeCancellable(key, command, commandLength, response, responseLength, status, timeoutMs,
                                        nullptr);
}

extern "C" unsigned long OLVEXKIT_API OLVEXKIT_ExchangeCancellable(OLVEXKIT_KEY key, const void *command,
                                                                   int commandLength, void *response,
                                                                   int *responseLength, int *status,
                                                                   unsigned long timeoutMs,
                                                                   const volatile long *cancelled) {
    if (!key) return Report(ERROR_INVALID_HANDLE);
    if (commandLength < 0 || !status || timeoutMs == 0) return Report(ERROR_INVALID_PARAMETER);
    std::error_code ec;
    const int s = key->connection.exchange_into(command, static_cast<std::size_t>(commandLength), LimitOf(timeoutMs),
                                                response, responseLength, ec, cancelled);
    if (s != OLVEX_FAIL) *status = s;
    return Report(ec);
}

extern "C" unsigned long OLVEXKIT_API OLVEXKIT_Start(OLVEXKIT_KEY key, const void *command, int commandLength,
                                                     void *response, unsigned long timeoutMs, unsigned long flags,
                                                     OLVEXKIT_DONE done, void *context, unsigned long long *call) {
    if (!key) return Report(ERROR_INVALID_HANDLE);
    if (commandLength < 0 || !call || timeoutMs == 0 || (flags & ~OLVEXKIT_ONE_AT_A_TIME))
        return Report(ERROR_INVALID_PARAMETER);
    const olvex::completions how =
        flags & OLVEXKIT_ONE_AT_A_TIME ? olvex::completions::one_at_a_time : olvex::completions::concurrent;
    std::error_code ec;
    const olvex::call_id id =
        key->connection.start(command, static_cast<std::size_t>(commandLength), LimitOf(timeoutMs), response, done,
                              context, ec, how);
    if (!ec) *call = id;
    return Report(ec);
}

extern "C" unsigned long OLVEXKIT_API OLVEXKIT_CancelCall(OLVEXKIT_KEY key, unsigned long long call) {
    if (!key) return Report(ERROR_INVALID_HANDLE);
    return Report(key->connection.cancel(call) ? 0 : ERROR_NOT_FOUND);
}

extern "C" unsigned long OLVEXKIT_API OLVEXKIT_CloseAll(unsigned long graceMs) {
    olvex::close_all(std::chrono::milliseconds(graceMs));
    return Report(0);
}

extern "C" unsigned long OLVEXKIT_API OLVEXKIT_Cancel(OLVEXKIT_KEY key) {
    if (!key) return Report(ERROR_INVALID_HANDLE);
    key->connection.cancel();
    return Report(0);
}

namespace {

struct Closing {
    OLVEXKIT_KEY key;
    unsigned long graceMs;
    OLVEXKIT_CLOSED done;
    void *context;
};

void CALLBACK CloseOnPool(PTP_CALLBACK_INSTANCE, void *self) {
    Closing *c = static_cast<Closing *>(self);
    OLVEXKIT_Close(c->key, c->graceMs);
    if (c->done) c->done(c->context);
    delete c;
}

}  // namespace

extern "C" unsigned long OLVEXKIT_API OLVEXKIT_CloseAsync(OLVEXKIT_KEY key, unsigned long graceMs,
                                                          OLVEXKIT_CLOSED done, void *context) {
    if (!key) return Report(ERROR_INVALID_HANDLE);
    auto *c = new (std::nothrow) Closing{key, graceMs, done, context};
    if (!c) return Report(ERROR_NOT_ENOUGH_MEMORY);
    // Nothing of the caller's waits for the pool: the calls end now.
    key->connection.cancel();
    if (!TrySubmitThreadpoolCallback(&CloseOnPool, c, nullptr)) {
        const DWORD e = GetLastError();
        delete c;
        return Report(e);
    }
    return Report(0);
}

extern "C" unsigned long OLVEXKIT_API OLVEXKIT_Close(OLVEXKIT_KEY key, unsigned long graceMs) {
    if (!key) return Report(0);
    std::error_code ec;
    key->connection.close(std::chrono::milliseconds(graceMs), ec);
    delete key;
    return Report(ec);
}
