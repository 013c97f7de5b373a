// Olvexkit.dll: olvexlib.hpp's connections for the bindings, behind a C
// interface. Nothing of its own: each export hands one call to the header, so
// every layer gives up on a key, cancels and closes the same way.
#define OLVEXKIT_EXPORT
#include "olvexkit.h"

#include "olvexlib.hpp"

#include <algorithm>
#include <deque>

#ifdef OLVEX_PROJECT_VERSION
static_assert(OLVEXKIT_VERSION == OLVEX_PROJECT_VERSION, "OLVEXKIT_VERSION is not the project's version");
static_assert(OLVEXKIT_VERSION == (OLVEXLIB_HPP_VERSION_MAJOR << 16 | OLVEXLIB_HPP_VERSION_MINOR << 8 |
                                   OLVEXLIB_HPP_VERSION_PATCH),
              "olvexlib.hpp's version is not the kit's");
#endif

static_assert(OLVEXKIT_OPENABLE == static_cast<int>(olvex::key_state::openable) &&
                  OLVEXKIT_NOT_LISTED == static_cast<int>(olvex::key_state::not_listed) &&
                  OLVEXKIT_OPEN_FAILED == static_cast<int>(olvex::key_state::open_failed) &&
                  OLVEXKIT_UNDATED == static_cast<int>(olvex::key_state::undated),
              "the kit's key states are the header's");

// A key, or a transaction on one (OLVEXKIT_Begin), which the exchanges take
// in its place.
struct OLVEXKIT_Key {
    olvex::connection connection;
    olvex::transaction transaction;
    bool in_tx = false;
    DWORD opener = 0;       // the thread that opened it
    bool claimed = false;   // a close of it is under way; under the list's lock
    OLVEXKIT_Key *prev = nullptr, *next = nullptr;
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

// The last failure the kit reported on this thread, whose words may say more
// than its code alone (a 258 caused by the connection's own late answer).
thread_local const std::error_category *last_category = nullptr;
thread_local DWORD last_code = 0;

unsigned long Report(const std::error_code &ec) {
    const DWORD e = ec ? static_cast<DWORD>(ec.value()) : 0;
    last_category = ec ? &ec.category() : nullptr;
    last_code = e;
    ::SetLastError(e);
    return e;
}

unsigned long Report(DWORD e) {
    last_category = nullptr;
    last_code = e;
    ::SetLastError(e);
    return e;
}

// Where a key's exchanges go: its connection, or the transaction it stands for.
const olvex::exchanger &Calls(const OLVEXKIT_Key *k) {
    if (k->in_tx) return k->transaction;
    return k->connection;
}

// The kit's time limit as the header takes it.
std::chrono::milliseconds LimitOf(unsigned long timeoutMs) {
    return timeoutMs == OLVEXKIT_NO_TIMEOUT ? olvex::no_timeout : std::chrono::milliseconds(timeoutMs);
}

void Fill(const olvex::key_info &k, OLVEXKIT_KEYINFO *out) {
    std::memset(out, 0, sizeof *out);
    std::memcpy(out->path, k.path.c_str(), (std::min)(k.path.size(), sizeof out->path - 1));
    if (k.attached == std::chrono::system_clock::time_point()) return;  // not known
    const FILETIME time = olvex::detail::to_filetime(k.attached);
    out->attached = static_cast<unsigned long long>(time.dwHighDateTime) << 32 | time.dwLowDateTime;
}

// The keys open, so that a runtime's thread that ends can have its own
// ended (a Node.js worker).
struct OpenKeys {
    SRWLOCK lock = SRWLOCK_INIT;
    OLVEXKIT_Key *first = nullptr;
};

OpenKeys &Open() {
    static OpenKeys keys;
    return keys;
}

void List(OLVEXKIT_Key *k) {
    OpenKeys &o = Open();
    AcquireSRWLockExclusive(&o.lock);
    k->next = o.first;
    if (o.first) o.first->prev = k;
    o.first = k;
    ReleaseSRWLockExclusive(&o.lock);
}

// False when a close of it is under way already.
bool Claim(OLVEXKIT_Key *k) {
    OpenKeys &o = Open();
    AcquireSRWLockExclusive(&o.lock);
    const bool mine = !k->claimed;
    k->claimed = true;
    ReleaseSRWLockExclusive(&o.lock);
    return mine;
}

void CloseClaimed(OLVEXKIT_Key *k, unsigned long graceMs) {
    std::error_code ec;  // only for a negative grace, which this cannot be
    k->connection.close(std::chrono::milliseconds(graceMs), ec);
    OpenKeys &o = Open();
    AcquireSRWLockExclusive(&o.lock);
    if (k->prev) k->prev->next = k->next;
    else o.first = k->next;
    if (k->next) k->next->prev = k->prev;
    ReleaseSRWLockExclusive(&o.lock);
    delete k;
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
    k->opener = GetCurrentThreadId();
    List(k);
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
    const std::vector<olvex::key_info> found = olvex::detail::listed_keys(ec);
    if (ec) return Report(ec);
    const size_t n = (std::min)(found.size(), static_cast<size_t>(capacity));
    for (size_t i = 0; i < n; ++i) Fill(found[i], &keys[i]);
    *count = static_cast<int>(n);
    return Report(0);
}

extern "C" unsigned long OLVEXKIT_API OLVEXKIT_AllKeys(OLVEXKIT_KEYSTATE *keys, int capacity, int *count) {
    if (!count || capacity < 0 || (!keys && capacity > 0)) return Report(ERROR_INVALID_PARAMETER);
    std::error_code ec;
    const std::vector<olvex::key_info> found = olvex::keys(ec);
    if (ec) return Report(ec);
    const size_t n = (std::min)(found.size(), static_cast<size_t>(capacity));
    for (size_t i = 0; i < n; ++i) {
        Fill(found[i], &keys[i].key);
        keys[i].index = found[i].index;
        keys[i].state = static_cast<int>(found[i].state);
        keys[i].error = static_cast<unsigned long>(found[i].open_error.value());
        keys[i].reserved = 0;
    }
    *count = static_cast<int>(found.size());
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
    const int s = Calls(key).exchange_into(command, static_cast<std::size_t>(commandLength), LimitOf(timeoutMs),
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
        Calls(key).start(command, static_cast<std::size_t>(commandLength), LimitOf(timeoutMs), response, done,
                              context, ec, how);
    if (!ec) *call = id;
    return Report(ec);
}

extern "C" unsigned long OLVEXKIT_API OLVEXKIT_CancelCall(OLVEXKIT_KEY key, unsigned long long call) {
    if (!key) return Report(ERROR_INVALID_HANDLE);
    return Report(Calls(key).cancel(call) ? 0 : ERROR_NOT_FOUND);
}

extern "C" unsigned long OLVEXKIT_API OLVEXKIT_CloseAll(unsigned long graceMs) {
    olvex::close_all(std::chrono::milliseconds(graceMs));
    return Report(0);
}

extern "C" unsigned long OLVEXKIT_API OLVEXKIT_Cancel(OLVEXKIT_KEY key) {
    if (!key) return Report(ERROR_INVALID_HANDLE);
    Calls(key).cancel();
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
    CloseClaimed(c->key, c->graceMs);
    if (c->done) c->done(c->context);
    delete c;
}

}  // namespace

extern "C" unsigned long OLVEXKIT_API OLVEXKIT_CloseAsync(OLVEXKIT_KEY key, unsigned long graceMs,
                                                          OLVEXKIT_CLOSED done, void *context) {
    if (!key || key->in_tx) return Report(ERROR_INVALID_HANDLE);
    auto *c = new (std::nothrow) Closing{key, graceMs, done, context};
    if (!c) return Report(ERROR_NOT_ENOUGH_MEMORY);
    // Nothing of the caller's waits for the pool: the calls end now.
    key->connection.cancel();
    if (!Claim(key)) {
        delete c;
        return Report(ERROR_INVALID_HANDLE);
    }
    if (!TrySubmitThreadpoolCallback(&CloseOnPool, c, olvex::detail::callback_environment())) {
        const DWORD e = GetLastError();
        delete c;
        // Still the caller's to close some other way.
        OpenKeys &o = Open();
        AcquireSRWLockExclusive(&o.lock);
        key->claimed = false;
        ReleaseSRWLockExclusive(&o.lock);
        return Report(e);
    }
    return Report(0);
}

extern "C" unsigned long OLVEXKIT_API OLVEXKIT_Close(OLVEXKIT_KEY key, unsigned long graceMs) {
    if (!key) return Report(0);
    if (key->in_tx) return OLVEXKIT_End(key);
    if (!Claim(key)) return Report(ERROR_INVALID_HANDLE);
    CloseClaimed(key, graceMs);
    return Report(0);
}

// Olvexkit.dll is also a Node-API addon, loaded by each thread of node.exe
// that loads the Node.js package (the main thread and each worker): so that
// when that thread's environment ends (a worker that returns, throws or is
// terminated) its own connections end before the runtime lets go of the
// callbacks their completions would call. Node's functions are looked up in
// node.exe when it loads the kit so, never imported.

namespace {

using napi_env = struct napi_env__ *;
using napi_value = struct napi_value__ *;
using napi_status = int;
using napi_cleanup_hook = void (*)(void *);

struct Registrant {
    DWORD thread;
};

// On the ending thread, after its event loop has stopped and before the
// runtime's own clean-up (hooks run latest first): the connections that
// thread opened end as at the program's end, their callbacks no longer
// called, those being closed already included; then those nobody is closing
// are closed and freed.
void EndRegistrant(void *self) {
    const DWORD thread = static_cast<Registrant *>(self)->thread;
    delete static_cast<Registrant *>(self);
    olvex::detail::channel *held[64];
    OLVEXKIT_Key *mine[64];
    for (std::size_t n = 64, m = 0; n == 64 || m == 64;) {
        n = m = 0;
        OpenKeys &o = Open();
        AcquireSRWLockExclusive(&o.lock);
        for (OLVEXKIT_Key *k = o.first; k && n < 64 && m < 64; k = k->next) {
            if (k->opener != thread) continue;
            olvex::detail::channel *c = olvex::detail::access::of(k->connection);
            if (!c || !c->try_add_ref()) continue;
            held[n++] = c;
            // Taken: the next round lists it no more.
            k->opener = 0;
            if (!k->claimed) {
                k->claimed = true;
                mine[m++] = k;
            }
        }
        ReleaseSRWLockExclusive(&o.lock);
        olvex::detail::channel::end_all(held, n, olvex::detail::steady::now() + olvex::close_grace, true);
        for (std::size_t i = 0; i < n; ++i) held[i]->release();
        for (std::size_t i = 0; i < m; ++i) CloseClaimed(mine[i], 0);
    }
}

}  // namespace

extern "C" napi_value napi_register_module_v1(napi_env env, napi_value exports) {
    using add_hook = napi_status (*)(napi_env, napi_cleanup_hook, void *);
    const auto add = reinterpret_cast<add_hook>(reinterpret_cast<void (*)()>(
        GetProcAddress(GetModuleHandleW(nullptr), "napi_add_env_cleanup_hook")));
    auto *r = new (std::nothrow) Registrant{GetCurrentThreadId()};
    if (!add || !r || add(env, &EndRegistrant, r) != 0) delete r;
    return exports;
}

extern "C" unsigned long OLVEXKIT_API OLVEXKIT_Version(unsigned long *version) {
    if (!version) return Report(ERROR_INVALID_PARAMETER);
    *version = OLVEXKIT_VERSION;
    return Report(0);
}

extern "C" unsigned long OLVEXKIT_API OLVEXKIT_ErrorMessage(unsigned long code, char *text, int capacity,
                                                            int *needed) {
    if (capacity < 0 || (!text && capacity > 0)) return Report(ERROR_INVALID_PARAMETER);
    const std::string message = last_category && code == last_code
                                    ? last_category->message(static_cast<int>(code))
                                    : olvex::error_message(static_cast<int>(code));
    if (needed) *needed = static_cast<int>(message.size() + 1);
    if (capacity > 0) {
        const size_t n = (std::min)(message.size(), static_cast<size_t>(capacity) - 1);
        std::memcpy(text, message.data(), n);
        text[n] = '\0';
    }
    return Report(0);
}

extern "C" unsigned long OLVEXKIT_API OLVEXKIT_Begin(OLVEXKIT_KEY key, unsigned long timeoutMs, unsigned long flags,
                                                     OLVEXKIT_DONE done, void *context, OLVEXKIT_KEY *tx) {
    if (!key || key->in_tx) return Report(ERROR_INVALID_HANDLE);
    if (!tx || timeoutMs == 0 || (flags & ~OLVEXKIT_ONE_AT_A_TIME)) return Report(ERROR_INVALID_PARAMETER);
    auto *t = new (std::nothrow) OLVEXKIT_Key;
    if (!t) return Report(ERROR_NOT_ENOUGH_MEMORY);
    t->in_tx = true;
    std::error_code ec;
    if (done)
        t->transaction = key->connection.begin(
            LimitOf(timeoutMs), done, context, ec,
            flags & OLVEXKIT_ONE_AT_A_TIME ? olvex::completions::one_at_a_time : olvex::completions::concurrent);
    else
        t->transaction = key->connection.begin(LimitOf(timeoutMs), ec);
    if (ec) {
        delete t;
        return Report(ec);
    }
    *tx = t;
    return Report(0);
}

extern "C" unsigned long OLVEXKIT_API OLVEXKIT_End(OLVEXKIT_KEY tx) {
    if (!tx) return Report(0);
    if (!tx->in_tx) return Report(ERROR_INVALID_HANDLE);
    tx->transaction.end();
    delete tx;
    return Report(0);
}
