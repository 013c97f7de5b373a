// Olvexlib for C++17: the four calls of olvexlib.h behind a connection that
// closes itself, exchanges that size their own response buffer, errors as
// std::error_code, an optional time limit per exchange, keys named by their
// device path, and a watcher for keys coming and going.
//
//   for (const olvex::key_info &k : olvex::keys()) std::cout << k.path << '\n';
//   olvex::connection key(path);                               // or key(0): index 0
//   olvex::response r = key.exchange(command);                 // any byte container
//   r = key.exchange(command, std::chrono::milliseconds(500));  // or give up after 500 ms
//   // r.status is the key's status word, r.body its answer
//   olvex::key_watcher w([](const olvex::key_event &e) { /* attached, removed */ });
//
// Errors: every operation has a throwing form (std::system_error) and a form
// taking std::error_code& that reports instead, as std::filesystem does. Codes
// are Windows error codes in std::system_category(): the cause the library
// names through GetLastError(), or one of
//   ERROR_INVALID_PARAMETER  a command longer than olvex::max_command, a
//                            time limit that is not positive
//   ERROR_INVALID_HANDLE     an exchange on a connection that is not open
//   ERROR_TIMEOUT            the key did not answer within the time limit
//   WAIT_TIMEOUT             another thread or program held the key's lock
//                            for the whole time limit; nothing was sent
//   ERROR_OPERATION_ABORTED  connection::cancel() ended a timed exchange, or
//                            CancelSynchronousIo on its thread an untimed one
//   ERROR_DEVICE_NOT_CONNECTED
//                            the key has been removed (its path no longer
//                            opens), or no attached key has that path
// How a time limit keeps the key's late answer from ever reaching another
// exchange is told at class connection.
// Without exceptions (no __cpp_exceptions), only the error_code forms exist.
//
// Threads: exchanges on one connection may run from many threads at once.
// Listing and opening through this header take one lock of its own, so they
// may run on any thread, beside a key_watcher's listings; calls made to the
// C functions directly in the same program do not take it.
#ifndef OLVEXLIB_HPP
#define OLVEXLIB_HPP

#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>
#include <functional>
#include <iterator>
#include <memory>
#include <new>
#include <string>
#include <system_error>
#include <type_traits>
#include <utility>
#include <vector>

#include "olvexlib.h"

#ifdef _MSC_VER
#pragma comment(lib, "advapi32.lib")  // the attach times' registry reads
#endif

#if defined(__cpp_exceptions) || defined(_CPPUNWIND)
#define OLVEXLIB_HPP_EXCEPTIONS 1
#else
#define OLVEXLIB_HPP_EXCEPTIONS 0
#endif

namespace olvex {

inline constexpr std::size_t max_command = OLVEX_MAX_COMMAND;
inline constexpr std::size_t max_response_body = OLVEX_MAX_RESPONSE_BODY;

// No time limit: the exchange waits as long as the key and its lock take.
// (Parenthesised against the min and max macros of MSVC's <windows.h>.)
inline constexpr std::chrono::milliseconds no_timeout = (std::chrono::milliseconds::max)();
// The longest time limit the platform's waits take; a longer one counts as this.
inline constexpr std::chrono::milliseconds max_timeout{0xFFFFFFFELL};
// How long closing a connection waits for an answer the key still owes.
inline constexpr std::chrono::milliseconds close_grace{2000};

struct response {
    std::uint16_t status = 0;  // the key's status word; the library gives it no meaning
    std::vector<std::uint8_t> body;
};

// The name of the key's lock, for programs that serialise with the library
// (olvexlib.h): the device path backwards, every '\' written as 'a'.
inline std::string lock_name(const std::string &path) {
    std::string name(path.rbegin(), path.rend());
    for (char &c : name)
        if (c == '\\') c = 'a';
    return name;
}

namespace detail {

// A failed call that left no cause still has to read as a failure.
inline std::error_code last_error() noexcept {
    const DWORD e = ::GetLastError();
    return std::error_code(static_cast<int>(e != 0 ? e : ERROR_GEN_FAILURE), std::system_category());
}

inline std::error_code win32_error(DWORD e) noexcept {
    return std::error_code(static_cast<int>(e), std::system_category());
}

inline const std::string &no_path() noexcept {
    static const std::string empty;
    return empty;
}

#if OLVEXLIB_HPP_EXCEPTIONS
inline void throw_if(const std::error_code &ec, const char *what) {
    if (ec) throw std::system_error(ec, what);
}
#endif

// Contiguous containers of byte-sized elements: std::vector<uint8_t>,
// std::array, std::string, std::span<const std::byte>, C arrays...
template <class T, class = void>
struct is_byte_range : std::false_type {};
template <class T>
struct is_byte_range<T, std::void_t<decltype(std::data(std::declval<const T &>())),
                                    decltype(std::size(std::declval<const T &>()))>>
    : std::bool_constant<sizeof(*std::data(std::declval<const T &>())) == 1 &&
                         std::is_trivially_copyable<
                             std::remove_reference_t<decltype(*std::data(std::declval<const T &>()))>>::value> {};
template <class T>
using if_byte_range = std::enable_if_t<is_byte_range<T>::value, int>;

struct unique_handle {
    HANDLE h = nullptr;
    unique_handle() = default;
    explicit unique_handle(HANDLE handle) : h(handle) {}
    unique_handle(const unique_handle &) = delete;
    unique_handle &operator=(const unique_handle &) = delete;
    ~unique_handle() {
        if (h) ::CloseHandle(h);
    }
};

// When a key was attached, as the library dates it: the last write of its
// interface's Control key,
// HKLM\SYSTEM\CurrentControlSet\Control\DeviceClasses\{class}\<path with
// characters 0, 1 and 3 made '#'>\Control.
inline bool attach_time(const std::string &path, FILETIME *time) {
    if (path.size() < 4) return false;
    std::string key = "SYSTEM\\CurrentControlSet\\Control\\DeviceClasses\\{925fad44-e331-4116-b409-78fc2b51ea21}\\";
    std::string name = path;
    name[0] = name[1] = name[3] = '#';
    key += name + "\\Control";
    HKEY h;
    if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ, &h) != ERROR_SUCCESS) return false;
    const bool ok = ::RegQueryInfoKeyA(h, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                       nullptr, nullptr, time) == ERROR_SUCCESS;
    ::RegCloseKey(h);
    return ok;
}

// FILETIME counts 100 ns from 1601; system_clock, from 1970.
using filetime_ticks = std::chrono::duration<long long, std::ratio<1, 10000000>>;
constexpr long long filetime_1970 = 116444736000000000LL;

inline std::chrono::system_clock::time_point from_filetime(const FILETIME &time) {
    const unsigned long long t = (static_cast<unsigned long long>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
    return std::chrono::system_clock::time_point(std::chrono::duration_cast<std::chrono::system_clock::duration>(
        filetime_ticks(static_cast<long long>(t) - filetime_1970)));
}

inline FILETIME to_filetime(std::chrono::system_clock::time_point when) {
    const unsigned long long t = static_cast<unsigned long long>(
        std::chrono::duration_cast<filetime_ticks>(when.time_since_epoch()).count() + filetime_1970);
    FILETIME time;
    time.dwLowDateTime = static_cast<DWORD>(t);
    time.dwHighDateTime = static_cast<DWORD>(t >> 32);
    return time;
}

// Whether the key at `path` has gone: its path no longer opens, and the
// platform says why. A key that is busy, or answers nothing, is still there.
inline bool key_gone(const std::string &path) noexcept {
    const HANDLE h = ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                   nullptr, OPEN_EXISTING, 0, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
        ::CloseHandle(h);
        return false;
    }
    const DWORD e = ::GetLastError();
    return e == ERROR_FILE_NOT_FOUND || e == ERROR_DEVICE_NOT_CONNECTED;
}

// Milliseconds from now until `deadline`, rounded up, for a platform wait.
inline DWORD ms_until(std::chrono::steady_clock::time_point deadline) noexcept {
    const auto left = deadline - std::chrono::steady_clock::now();
    if (left <= std::chrono::steady_clock::duration::zero()) return 0;
    const long long ms = std::chrono::duration_cast<std::chrono::milliseconds>(left).count() + 1;
    return ms >= 0xFFFFFFFELL ? 0xFFFFFFFEUL : static_cast<DWORD>(ms);
}

// One open key: the library's connection, and the thread that carries its
// timed exchanges.
//
// A key is one request/response channel: an answer it owes goes to whoever
// reads next, in any process. So an exchange that gives up on a late answer
// must keep the key's lock until that answer has been read, and a mutex
// belongs to the thread that took it. Timed exchanges therefore run on a
// thread of the connection's own: the caller waits for it at most its time
// limit, while the thread goes on holding the lock and reading until the
// answer comes, and discards it. One exchange at a time uses the thread (its
// "turn"); a turn is over when the answer has been read, late or not.
//
// Shared by the connection and its thread, and freed by whichever lets go
// last: a close that cannot end a read leaves the thread to finish it and
// disconnect.
class channel {
public:
    static channel *make(OLVEX_HANDLE handle, const char *path) noexcept {
        channel *c = new (std::nothrow) channel(handle);
        if (!c) return nullptr;
#if OLVEXLIB_HPP_EXCEPTIONS
        try {
            c->path_.assign(path);
        } catch (...) {
            c->handle_ = nullptr;
            delete c;
            return nullptr;
        }
#else
        c->path_.assign(path);
#endif
        return c;
    }

    OLVEX_HANDLE handle() const noexcept { return handle_; }
    const std::string &path() const noexcept { return path_; }
    // Once a failed exchange found the key gone, it stays gone for this
    // connection: a key plugged back is a new attachment, opened anew.
    bool removed() const noexcept { return removed_.load(); }
    void set_removed() noexcept { removed_.store(true); }

    // The exchange under a time limit (1 ms to 0xFFFFFFFE ms). Returns the
    // status word, or OLVEX_FAIL with `error` set.
    // `cancelled`, when given, is a flag the canceller sets before calling
    // cancel(): it ends a call that had not begun when cancel() came.
    int exchange(const unsigned char *command, int length, DWORD timeoutMs, unsigned char *body, int *bodyLength,
                 DWORD *error, const volatile long *cancelled) noexcept {
        using clock = std::chrono::steady_clock;
        const clock::time_point deadline = clock::now() + std::chrono::milliseconds(timeoutMs);
        ::AcquireSRWLockExclusive(&lock_);
        // The generation first, the flag second: a cancel that finds neither
        // changed yet is one this call will see.
        const unsigned long long generation = cancels_;
        DWORD failure = cancelled && *cancelled ? ERROR_OPERATION_ABORTED : start_thread();
        // Wait for the turn: another exchange, or a late answer still being read.
        while (!failure && busy_) {
            if (cancels_ != generation) failure = ERROR_OPERATION_ABORTED;
            else if (!wait(deadline)) failure = WAIT_TIMEOUT;
        }
        if (failure) {
            ::ReleaseSRWLockExclusive(&lock_);
            *error = failure;
            return OLVEX_FAIL;
        }
        busy_ = true;
        abandoned_ = false;
        state_ = job_state::queued;
        command_length_ = length;
        if (length > 0) std::memcpy(command_, command, static_cast<std::size_t>(length));
        deadline_ = deadline;
        ::WakeAllConditionVariable(&changed_);
        while (state_ != job_state::done) {
            if (cancels_ != generation) {
                failure = ERROR_OPERATION_ABORTED;
                break;
            }
            if (!wait(deadline)) {
                if (state_ == job_state::done) break;
                failure = state_ == job_state::sending ? ERROR_TIMEOUT : WAIT_TIMEOUT;
                break;
            }
        }
        int status = OLVEX_FAIL;
        if (failure) {
            // The thread finishes the turn on its own: it sends nothing once
            // abandoned, and reads and drops an answer already asked for.
            abandoned_ = true;
            ::SetEvent(wake_);
        } else {
            status = status_;
            if (status == OLVEX_FAIL) {
                failure = error_;
            } else {
                std::memcpy(body, response_, static_cast<std::size_t>(response_length_));
                *bodyLength = response_length_;
            }
            end_turn();
        }
        ::ReleaseSRWLockExclusive(&lock_);
        *error = failure;
        return status;
    }

    // Ends the timed exchanges waiting or running now with
    // ERROR_OPERATION_ABORTED. The key's answer, if asked for, is still read.
    void cancel() noexcept {
        ::AcquireSRWLockExclusive(&lock_);
        ++cancels_;
        ::WakeAllConditionVariable(&changed_);
        if (wake_) ::SetEvent(wake_);
        ::ReleaseSRWLockExclusive(&lock_);
    }

    // Gives an owed answer up to `grace` to come, then cancels its read
    // (retried: a cancel that comes before the read starts is lost) for a
    // bounded time, and lets go of the connection.
    void close(DWORD graceMs) noexcept {
        using clock = std::chrono::steady_clock;
        ::AcquireSRWLockExclusive(&lock_);
        closing_ = true;
        ::WakeAllConditionVariable(&changed_);
        if (wake_) ::SetEvent(wake_);
        const clock::time_point grace = clock::now() + std::chrono::milliseconds(graceMs);
        while (busy_ && wait(grace)) {
        }
        const clock::time_point bound = clock::now() + std::chrono::milliseconds(cancel_bound_ms);
        while (busy_) {
            if (state_ == job_state::sending) ::CancelSynchronousIo(thread_);
            const clock::time_point retry = clock::now() + std::chrono::milliseconds(retry_ms);
            if (!wait(retry < bound ? retry : bound) && clock::now() >= bound) break;
        }
        HANDLE thread = thread_;
        const bool finished = !busy_;
        ::ReleaseSRWLockExclusive(&lock_);
        // A read the driver would not give up holds the thread, and with it
        // the connection: the thread disconnects once the read returns.
        if (thread && finished) ::WaitForSingleObject(thread, INFINITE);
        release();
    }

private:
    enum class job_state { idle, queued, locking, sending, done };
    static constexpr DWORD retry_ms = 5;
    static constexpr DWORD cancel_bound_ms = 1000;

    explicit channel(OLVEX_HANDLE handle) noexcept : handle_(handle) {}
    ~channel() {
        if (handle_) OLVEX_Disconnect(handle_);
        if (key_lock_) ::CloseHandle(key_lock_);
        if (wake_) ::CloseHandle(wake_);
        if (thread_) ::CloseHandle(thread_);
        delete[] command_;
        delete[] response_;
    }

    void release() noexcept {
        if (::InterlockedDecrement(&refs_) == 0) delete this;
    }

    // Waits for a change until `deadline`; false once it has passed.
    bool wait(std::chrono::steady_clock::time_point deadline) noexcept {
        const DWORD ms = ms_until(deadline);
        if (ms == 0) return false;
        ::SleepConditionVariableSRW(&changed_, &lock_, ms, 0);
        return true;
    }

    void end_turn() noexcept {
        busy_ = false;
        state_ = job_state::idle;
        ::WakeAllConditionVariable(&changed_);
    }

    // The thread, its buffers and its own handle to the key's lock come with
    // the first timed exchange: untimed users pay nothing for them.
    DWORD start_thread() noexcept {
        if (thread_) return 0;
        if (closing_) return ERROR_INVALID_HANDLE;
        if (!command_) command_ = new (std::nothrow) unsigned char[OLVEX_MAX_COMMAND];
        if (!response_) response_ = new (std::nothrow) unsigned char[OLVEX_MAX_RESPONSE_BODY];
        if (!command_ || !response_) return ERROR_NOT_ENOUGH_MEMORY;
        if (!wake_ && !(wake_ = ::CreateEventA(nullptr, FALSE, FALSE, nullptr))) return ::GetLastError();
        if (!key_lock_) {
            key_lock_ = ::OpenMutexA(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, olvex::lock_name(path_).c_str());
            if (!key_lock_) return ::GetLastError();
        }
        ::InterlockedIncrement(&refs_);
        thread_ = ::CreateThread(nullptr, 64 * 1024, &channel::run, this, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
        if (thread_) return 0;
        const DWORD e = ::GetLastError();
        ::InterlockedDecrement(&refs_);
        return e;
    }

    static DWORD WINAPI run(void *self) {
        static_cast<channel *>(self)->serve();
        static_cast<channel *>(self)->release();
        return 0;
    }

    void serve() noexcept {
        ::AcquireSRWLockExclusive(&lock_);
        for (;;) {
            while (state_ != job_state::queued && !closing_) ::SleepConditionVariableSRW(&changed_, &lock_, INFINITE, 0);
            if (state_ != job_state::queued) break;
            state_ = job_state::locking;
            const std::chrono::steady_clock::time_point deadline = deadline_;
            const unsigned long long generation = cancels_;
            ::ReleaseSRWLockExclusive(&lock_);
            const bool locked = take_key_lock(deadline, generation);
            ::AcquireSRWLockExclusive(&lock_);
            if (!locked || abandoned_ || cancels_ != generation || closing_) {
                // Nothing was sent.
                if (locked) ::ReleaseMutex(key_lock_);
                finish(OLVEX_FAIL, cancels_ != generation || closing_ ? ERROR_OPERATION_ABORTED : WAIT_TIMEOUT);
                continue;
            }
            state_ = job_state::sending;
            ::ReleaseSRWLockExclusive(&lock_);
            // The library's own wait for the lock returns at once: this
            // thread owns it. The answer, however late, is read here.
            int length = 0;
            const int status = OLVEX_DoCommand(handle_, command_, command_length_, response_, &length);
            const DWORD error = status == OLVEX_FAIL ? ::GetLastError() : 0;
            // Leaving `sending` under the lock is what keeps close's cancel
            // from reaching any later I/O of this thread.
            ::AcquireSRWLockExclusive(&lock_);
            ::ReleaseMutex(key_lock_);
            response_length_ = length;
            finish(status, error);
        }
        ::ReleaseSRWLockExclusive(&lock_);
    }

    // The key's lock, until the exchange's deadline, a cancel or a close.
    bool take_key_lock(std::chrono::steady_clock::time_point deadline, unsigned long long generation) noexcept {
        const HANDLE waits[2] = {key_lock_, wake_};
        for (;;) {
            const DWORD r = ::WaitForMultipleObjects(2, waits, FALSE, ms_until(deadline));
            if (r == WAIT_OBJECT_0 || r == WAIT_ABANDONED_0) return true;
            if (r != WAIT_OBJECT_0 + 1) return false;
            ::AcquireSRWLockExclusive(&lock_);
            const bool stop = abandoned_ || closing_ || cancels_ != generation;
            ::ReleaseSRWLockExclusive(&lock_);
            if (stop) return false;
        }
    }

    // Under the lock: the turn's outcome. A caller still waiting takes it
    // and ends the turn; one that gave up left that to this thread.
    void finish(int status, DWORD error) noexcept {
        status_ = status;
        error_ = error;
        state_ = job_state::done;
        if (abandoned_) end_turn();
        else ::WakeAllConditionVariable(&changed_);
    }

    OLVEX_HANDLE handle_;
    std::string path_;
    std::atomic<bool> removed_{false};
    volatile LONG refs_ = 1;
    SRWLOCK lock_ = SRWLOCK_INIT;
    CONDITION_VARIABLE changed_ = CONDITION_VARIABLE_INIT;
    HANDLE thread_ = nullptr;
    HANDLE wake_ = nullptr;      // the thread's wait for the key's lock ends on a cancel or close
    HANDLE key_lock_ = nullptr;  // the thread's own handle to the key's lock
    unsigned char *command_ = nullptr;
    unsigned char *response_ = nullptr;
    // Under lock_:
    bool busy_ = false;  // a turn is under way
    bool abandoned_ = false;
    bool closing_ = false;
    job_state state_ = job_state::idle;
    unsigned long long cancels_ = 0;
    int command_length_ = 0;
    std::chrono::steady_clock::time_point deadline_;
    int status_ = 0;
    DWORD error_ = 0;
    int response_length_ = 0;
};

}  // namespace detail

namespace detail {

// The library's key list is one per process and unguarded: every listing and
// opening made through this header, a key_watcher's included, takes this
// lock. (Calls made to the C functions directly do not.)
inline SRWLOCK &listing_lock() noexcept {
    static SRWLOCK lock = SRWLOCK_INIT;
    return lock;
}

struct listing_guard {
    listing_guard() noexcept { ::AcquireSRWLockExclusive(&listing_lock()); }
    ~listing_guard() { ::ReleaseSRWLockExclusive(&listing_lock()); }
    listing_guard(const listing_guard &) = delete;
    listing_guard &operator=(const listing_guard &) = delete;
};

inline int count_keys(std::error_code &ec) noexcept {
    int count = 0;
    if (OLVEX_EnumDEV(&count) != OLVEX_OK) {
        ec = last_error();
        return 0;
    }
    ec.clear();
    return count;
}

inline std::string path_of(int index, std::error_code &ec) {
    char path[OLVEX_PATH_SIZE + 1] = {};
    OLVEX_HANDLE handle = nullptr;
    if (OLVEX_Connect(&handle, path, index) != OLVEX_OK) {
        ec = last_error();
        return std::string();
    }
    OLVEX_Disconnect(handle);
    ec.clear();
    return std::string(path);
}

}  // namespace detail

// Rebuilds the process-wide list of attached keys (oldest first, at most 10)
// and returns their number; 0 on failure. Indexes name keys until the next
// listing, which a key_watcher makes on its own: while one runs, name keys by
// their path.
inline int key_count(std::error_code &ec) noexcept {
    const detail::listing_guard guard;
    return detail::count_keys(ec);
}

// The device path of key `index` of the last listing, read by opening the key
// for a moment (the library hands paths out no other way).
inline std::string key_path(int index, std::error_code &ec) {
    const detail::listing_guard guard;
    return detail::path_of(index, ec);
}

// Lists the keys and returns each one's path, oldest first. A key that
// cannot be opened at the moment (unplugged since) keeps its place with an
// empty path; ec then names the last such cause, and the list is still given.
inline std::vector<std::string> key_paths(std::error_code &ec) {
    const detail::listing_guard guard;
    const int count = detail::count_keys(ec);
    std::vector<std::string> paths;
    if (ec) return paths;
    paths.reserve(static_cast<std::size_t>(count));
    std::error_code failure;
    for (int i = 0; i < count; ++i) {
        std::error_code one;
        paths.push_back(detail::path_of(i, one));
        if (one) failure = one;
    }
    ec = failure;
    return paths;
}

#if OLVEXLIB_HPP_EXCEPTIONS
inline int key_count() {
    std::error_code ec;
    const int n = key_count(ec);
    detail::throw_if(ec, "olvex: cannot list keys");
    return n;
}
inline std::string key_path(int index) {
    std::error_code ec;
    std::string path = key_path(index, ec);
    detail::throw_if(ec, "olvex: cannot open key");
    return path;
}
// Throws only when the keys cannot be listed at all; unopenable keys get an
// empty path, as above.
inline std::vector<std::string> key_paths() {
    std::error_code ec;
    std::vector<std::string> paths = key_paths(ec);
    if (ec && paths.empty()) detail::throw_if(ec, "olvex: cannot list keys");
    return paths;
}
#endif

// An attached key: its device path, which names it for as long as it stays
// attached, and when it was attached (the library's own dating).
struct key_info {
    std::string path;
    std::chrono::system_clock::time_point attached;
};

// The attached keys that open now, oldest first, each with its attach time.
// A key that cannot be opened (or dated) at this moment is left out, as the
// listing itself does.
inline std::vector<key_info> keys(std::error_code &ec) {
    std::vector<key_info> found;
    const detail::listing_guard guard;
    const int count = detail::count_keys(ec);
    if (ec) return found;
    for (int i = 0; i < count; ++i) {
        std::error_code one;
        std::string path = detail::path_of(i, one);
        FILETIME time;
        if (one || !detail::attach_time(path, &time)) continue;
        found.push_back(key_info{std::move(path), detail::from_filetime(time)});
    }
    return found;
}
#if OLVEXLIB_HPP_EXCEPTIONS
inline std::vector<key_info> keys() {
    std::error_code ec;
    std::vector<key_info> found = keys(ec);
    detail::throw_if(ec, "olvex: cannot list keys");
    return found;
}
#endif

// One open key. Move-only; the destructor closes it as close() does.
// Exchanges may run on one connection from several threads at once, but
// never close or move it while one is running.
//
// Time limits. An exchange without one is OLVEX_DoCommand on the calling
// thread. With a limit T (any positive duration; longer than
// olvex::max_timeout counts as max_timeout), T covers the whole call: the
// wait for the key's lock, sending, and the answer.
//   WAIT_TIMEOUT     the lock was not had within T (another exchange or
//                    program held it): nothing was sent.
//   ERROR_TIMEOUT    the command went out but no answer came within T. The
//                    call returns on time; the connection's own thread keeps
//                    the key's lock, reads the late answer and discards it,
//                    so that no exchange anywhere receives it. A later
//                    exchange on this connection waits for that within its
//                    own limit, and with a key that never answers gets
//                    WAIT_TIMEOUT, sending nothing.
//   ERROR_OPERATION_ABORTED
//                    cancel() ended the call; an answer already asked for is
//                    still read and dropped, as after a time limit.
// Closing gives an owed answer up to a grace (olvex::close_grace unless
// close() is given another) to come, then cancels its read and releases the
// key's lock. Only a key still silent after T and the grace can later hand
// its answer to another caller. A timed exchange costs a hand-over to the
// connection's thread (made by the first one) and one more wait for the lock.
class connection {
public:
    connection() noexcept = default;
    // Opens key `index` (0 <= index < key_count()) of the last listing.
    connection(int index, std::error_code &ec) { open(index, ec); }
    // Opens the attached key with this device path, whatever its index
    // (listing the keys anew); ERROR_DEVICE_NOT_CONNECTED when none has it.
    connection(const std::string &path, std::error_code &ec) { open(path, ec); }
#if OLVEXLIB_HPP_EXCEPTIONS
    explicit connection(int index) {
        std::error_code ec;
        open(index, ec);
        detail::throw_if(ec, "olvex: cannot open key");
    }
    explicit connection(const std::string &path) {
        std::error_code ec;
        open(path, ec);
        detail::throw_if(ec, "olvex: cannot open key");
    }
#endif
    connection(connection &&other) noexcept : channel_(std::exchange(other.channel_, nullptr)) {}
    connection &operator=(connection &&other) noexcept {
        if (this != &other) {
            reset(close_grace);
            channel_ = std::exchange(other.channel_, nullptr);
        }
        return *this;
    }
    connection(const connection &) = delete;
    connection &operator=(const connection &) = delete;
    ~connection() { reset(close_grace); }

    bool is_open() const noexcept { return channel_ != nullptr; }
    explicit operator bool() const noexcept { return is_open(); }
    // The key's device path; empty when not open.
    const std::string &path() const noexcept { return channel_ ? channel_->path() : detail::no_path(); }
    OLVEX_HANDLE native_handle() const noexcept { return channel_ ? channel_->handle() : nullptr; }

    // Closes the connection after giving an answer the key still owes up to
    // `grace` to come (see above).
    void close(std::chrono::milliseconds grace, std::error_code &ec) noexcept {
        ec.clear();
        if (grace.count() < 0) {
            ec = detail::win32_error(ERROR_INVALID_PARAMETER);
            return;
        }
        reset(grace);
    }
    void close(std::error_code &ec) noexcept { close(close_grace, ec); }
#if OLVEXLIB_HPP_EXCEPTIONS
    void close(std::chrono::milliseconds grace = close_grace) {
        std::error_code ec;
        close(grace, ec);
        detail::throw_if(ec, "olvex: cannot disconnect");
    }
#endif

    // Ends every timed exchange on this connection that is running or
    // waiting now, with ERROR_OPERATION_ABORTED. Any thread may call it; an
    // exchange without a time limit is not affected (CancelSynchronousIo on
    // its thread ends that one).
    void cancel() const noexcept {
        if (channel_) channel_->cancel();
    }

    // Sends one command and returns the key's status word and body, with or
    // without a time limit (see above).
    response exchange(const void *command, std::size_t size, std::chrono::milliseconds timeout,
                      std::error_code &ec) const {
        return run(static_cast<const unsigned char *>(command), size, timeout, ec);
    }
    response exchange(const void *command, std::size_t size, std::error_code &ec) const {
        return run(static_cast<const unsigned char *>(command), size, no_timeout, ec);
    }
    template <class Bytes, detail::if_byte_range<Bytes> = 0>
    response exchange(const Bytes &command, std::chrono::milliseconds timeout, std::error_code &ec) const {
        return run(reinterpret_cast<const unsigned char *>(std::data(command)), std::size(command), timeout, ec);
    }
    template <class Bytes, detail::if_byte_range<Bytes> = 0>
    response exchange(const Bytes &command, std::error_code &ec) const {
        return exchange(command, no_timeout, ec);
    }
#if OLVEXLIB_HPP_EXCEPTIONS
    response exchange(const void *command, std::size_t size, std::chrono::milliseconds timeout = no_timeout) const {
        std::error_code ec;
        response r = exchange(command, size, timeout, ec);
        detail::throw_if(ec, "olvex: exchange failed");
        return r;
    }
    template <class Bytes, detail::if_byte_range<Bytes> = 0>
    response exchange(const Bytes &command, std::chrono::milliseconds timeout = no_timeout) const {
        std::error_code ec;
        response r = exchange(command, timeout, ec);
        detail::throw_if(ec, "olvex: exchange failed");
        return r;
    }
#endif

    // The exchange into the caller's buffer of at least max_response_body
    // bytes: the status word, or OLVEX_FAIL with ec set. For callers that
    // reuse one buffer (the bindings); nothing is written on failure.
    int exchange_into(const void *command, std::size_t size, std::chrono::milliseconds timeout, void *body,
                      int *bodyLength, std::error_code &ec) const noexcept {
        return exchange_into(command, size, timeout, body, bodyLength, ec, nullptr);
    }
    // The same, for a caller whose canceller cannot know whether the call has
    // begun (one queued to another thread): it sets *cancelled to nonzero,
    // then calls cancel(), and a timed call ends with ERROR_OPERATION_ABORTED
    // whenever it begins.
    int exchange_into(const void *command, std::size_t size, std::chrono::milliseconds timeout, void *body,
                      int *bodyLength, std::error_code &ec, const volatile long *cancelled) const noexcept {
        if (!channel_) {
            ec = detail::win32_error(ERROR_INVALID_HANDLE);
            return OLVEX_FAIL;
        }
        if (size > max_command || (!command && size > 0) || !body || !bodyLength ||
            (timeout != no_timeout && timeout.count() <= 0)) {
            ec = detail::win32_error(ERROR_INVALID_PARAMETER);
            return OLVEX_FAIL;
        }
        if (channel_->removed()) {
            ec = detail::win32_error(ERROR_DEVICE_NOT_CONNECTED);
            return OLVEX_FAIL;
        }
        const auto *bytes = static_cast<const unsigned char *>(command);
        auto *out = static_cast<unsigned char *>(body);
        const int n = static_cast<int>(size);
        int status;
        DWORD error = 0;
        if (timeout == no_timeout) {
            status = OLVEX_DoCommand(channel_->handle(), bytes, n, out, bodyLength);
            if (status == OLVEX_FAIL) error = ::GetLastError();
        } else {
            const long long ms = timeout.count() < max_timeout.count() ? timeout.count() : max_timeout.count();
            status = channel_->exchange(bytes, n, static_cast<DWORD>(ms), out, bodyLength, &error, cancelled);
        }
        if (status == OLVEX_FAIL) {
            // Whatever the transport said, a key that has gone reads as gone;
            // its presence decides, not a guess at a driver's codes.
            const bool transport = error != WAIT_TIMEOUT && error != ERROR_TIMEOUT &&
                                   error != ERROR_OPERATION_ABORTED && error != ERROR_INVALID_PARAMETER &&
                                   error != ERROR_NOT_ENOUGH_MEMORY;
            if (transport && detail::key_gone(channel_->path())) {
                channel_->set_removed();
                error = ERROR_DEVICE_NOT_CONNECTED;
            }
            ec = detail::win32_error(error != 0 ? error : ERROR_GEN_FAILURE);
            return OLVEX_FAIL;
        }
        ec.clear();
        return status;
    }

private:
    void open(int index, std::error_code &ec) {
        char found[OLVEX_PATH_SIZE + 1] = {};
        OLVEX_HANDLE handle = nullptr;
        const detail::listing_guard guard;
        if (OLVEX_Connect(&handle, found, index) != OLVEX_OK) {
            ec = detail::last_error();
            return;
        }
        adopt(handle, found, ec);
    }

    void open(const std::string &path, std::error_code &ec) {
        const detail::listing_guard guard;
        const int count = detail::count_keys(ec);
        for (int i = 0; !ec && i < count; ++i) {
            char found[OLVEX_PATH_SIZE + 1] = {};
            OLVEX_HANDLE handle = nullptr;
            if (OLVEX_Connect(&handle, found, i) != OLVEX_OK) continue;
            // Device paths are names of the object manager: case does not count.
            if (::lstrcmpiA(found, path.c_str()) == 0) return adopt(handle, found, ec);
            OLVEX_Disconnect(handle);
        }
        if (!ec) ec = detail::win32_error(ERROR_DEVICE_NOT_CONNECTED);
    }

    // Takes the library's connection over, or disconnects it: nothing is
    // left open when memory runs out.
    void adopt(OLVEX_HANDLE handle, const char *path, std::error_code &ec) noexcept {
        detail::channel *c = detail::channel::make(handle, path);
        if (!c) {
            OLVEX_Disconnect(handle);
            ec = detail::win32_error(ERROR_NOT_ENOUGH_MEMORY);
            return;
        }
        reset(close_grace);
        channel_ = c;
        ec.clear();
    }

    void reset(std::chrono::milliseconds grace) noexcept {
        if (!channel_) return;
        const long long ms = grace.count() < max_timeout.count() ? grace.count() : max_timeout.count();
        std::exchange(channel_, nullptr)->close(static_cast<DWORD>(ms));
    }

    response run(const unsigned char *command, std::size_t size, std::chrono::milliseconds timeout,
                 std::error_code &ec) const {
        response r;
        if (!channel_) {
            ec = detail::win32_error(ERROR_INVALID_HANDLE);
            return r;
        }
        // Room for the longest body any command can bring; only what came is kept.
        const std::unique_ptr<unsigned char[]> buffer(new unsigned char[max_response_body]);
        int length = 0;
        const int status = exchange_into(command, size, timeout, buffer.get(), &length, ec);
        if (status == OLVEX_FAIL) return r;
        r.status = static_cast<std::uint16_t>(status);
        r.body.assign(buffer.get(), buffer.get() + length);
        return r;
    }

    detail::channel *channel_ = nullptr;
};


// A key attached or removed, as key_watcher reports it.
struct key_event {
    enum kind { attached, removed };
    kind what = attached;
    key_info key;
};

namespace detail {

// CM_Register_Notification's interface (cfgmgr32.h, Windows 8 and later),
// declared here since the function is looked up at run time.
struct cm_notify_filter {
    DWORD cbSize;
    DWORD Flags;
    int FilterType;  // 0: device interfaces of a class
    DWORD Reserved;
    union {
        GUID ClassGuid;
        WCHAR InstanceId[200];
    } u;
};
using cm_callback = DWORD(WINAPI *)(HANDLE, void *, int, void *, DWORD);
using cm_register = DWORD(WINAPI *)(cm_notify_filter *, void *, cm_callback, HANDLE *);
using cm_unregister = DWORD(WINAPI *)(HANDLE);

// What a key_watcher shares with its threads: the callback thread holds it
// until it ends, so that a callback may stop or destroy its watcher.
class watch_state {
public:
    using callback = std::function<void(const key_event &)>;

    // How long a burst of notifications is let settle before the one
    // re-listing it causes.
    static constexpr DWORD settle_ms = 50;
    // After a notification, keys that do not open yet are looked for at the
    // polling interval for this long.
    static constexpr DWORD follow_up_ms = 2000;

    static watch_state *make(callback cb, DWORD intervalMs, DWORD safetyNetMs, std::error_code &ec) {
        watch_state *w = new (std::nothrow) watch_state(std::move(cb), intervalMs, safetyNetMs);
        if (!w) {
            ec = win32_error(ERROR_NOT_ENOUGH_MEMORY);
            return nullptr;
        }
        w->start(ec);
        if (ec) {
            w->stop();
            return nullptr;
        }
        return w;
    }

    bool notified() const noexcept { return notification_ != nullptr; }

    // Ends the watching; from a callback too. No callback starts after this
    // returns, and off the callback thread, none is running either.
    void stop() noexcept {
        ::AcquireSRWLockExclusive(&lock_);
        stopping_ = true;
        queue_.clear();
        ::WakeAllConditionVariable(&changed_);
        ::ReleaseSRWLockExclusive(&lock_);
        // Unregistering waits for a notification callback under way, which
        // takes no lock of ours.
        if (notification_) unregister_(notification_);
        if (timer_) {
            ::SetThreadpoolTimer(timer_, nullptr, 0, 0);
            ::WaitForThreadpoolTimerCallbacks(timer_, TRUE);
            ::CloseThreadpoolTimer(timer_);
        }
        if (work_) {
            ::WaitForThreadpoolWorkCallbacks(work_, TRUE);
            ::CloseThreadpoolWork(work_);
        }
        const bool own = ::GetCurrentThreadId() == thread_id_;
        if (thread_ && !own) ::WaitForSingleObject(thread_, INFINITE);
        release();
    }

private:
    watch_state(callback cb, DWORD intervalMs, DWORD safetyNetMs)
        : callback_(std::move(cb)), interval_ms_(intervalMs), safety_net_ms_(safetyNetMs) {}
    ~watch_state() {
        if (thread_) ::CloseHandle(thread_);
    }

    void release() noexcept {
        if (::InterlockedDecrement(&refs_) == 0) delete this;
    }

    void start(std::error_code &ec) {
        work_ = ::CreateThreadpoolWork(&watch_state::relist_work, this, nullptr);
        timer_ = ::CreateThreadpoolTimer(&watch_state::tick, this, nullptr);
        if (!work_ || !timer_) {
            ec = last_error();
            return;
        }
        // Notifications first: a change during the first listing is not lost.
        if (HMODULE cm = ::LoadLibraryA("cfgmgr32.dll")) {
            const auto reg = reinterpret_cast<cm_register>(
                reinterpret_cast<void (*)()>(::GetProcAddress(cm, "CM_Register_Notification")));
            unregister_ = reinterpret_cast<cm_unregister>(
                reinterpret_cast<void (*)()>(::GetProcAddress(cm, "CM_Unregister_Notification")));
            cm_notify_filter filter = {};
            filter.cbSize = sizeof filter;
            filter.u.ClassGuid = {0x925FAD44, 0xE331, 0x4116, {0xB4, 0x09, 0x78, 0xFC, 0x2B, 0x51, 0xEA, 0x21}};
            HANDLE h = nullptr;
            if (reg && unregister_ && reg(&filter, this, &watch_state::on_notification, &h) == 0 && h)
                notification_ = h;
            // cfgmgr32 stays loaded: the registration calls into it.
        }
        ::AcquireSRWLockExclusive(&relist_lock_);
        known_ = keys(ec);
        for (const key_info &k : known_) queue_.push_back(key_event{key_event::attached, k});
        ::ReleaseSRWLockExclusive(&relist_lock_);
        if (ec) return;
        ::InterlockedIncrement(&refs_);
        thread_ = ::CreateThread(nullptr, 0, &watch_state::deliver, this, 0, &thread_id_);
        if (!thread_) {
            ::InterlockedDecrement(&refs_);
            ec = last_error();
            return;
        }
        arm(notified() ? safety_net_ms_ : interval_ms_);
    }

    void arm(DWORD periodMs) noexcept {
        ULARGE_INTEGER due;
        due.QuadPart = static_cast<ULONGLONG>(-static_cast<LONGLONG>(periodMs) * 10000);
        FILETIME when;
        when.dwLowDateTime = due.LowPart;
        when.dwHighDateTime = due.HighPart;
        ::SetThreadpoolTimer(timer_, &when, periodMs, 0);
    }

    // Runs inside the platform's notification: asks for a re-listing, no more.
    static DWORD WINAPI on_notification(HANDLE, void *self, int, void *, DWORD) {
        watch_state *w = static_cast<watch_state *>(self);
        ::InterlockedExchange(&w->notifications_, 1);
        w->request();
        return 0;
    }

    static void CALLBACK tick(PTP_CALLBACK_INSTANCE, void *self, PTP_TIMER) {
        static_cast<watch_state *>(self)->request();
    }

    // One re-listing for any number of requests made before it begins.
    void request() noexcept {
        if (::InterlockedExchange(&pending_, 1) == 0) ::SubmitThreadpoolWork(work_);
    }

    static void CALLBACK relist_work(PTP_CALLBACK_INSTANCE, void *self, PTP_WORK) {
        static_cast<watch_state *>(self)->relist();
    }

    void relist() {
        // Work items may overlap; re-listings must not.
        ::AcquireSRWLockExclusive(&relist_lock_);
        relist_once();
        ::ReleaseSRWLockExclusive(&relist_lock_);
    }

    void relist_once() {
        const bool notified_now = ::InterlockedExchange(&notifications_, 0) != 0;
        if (notified_now) ::Sleep(settle_ms);
        ::InterlockedExchange(&pending_, 0);
        // The timer is set again only while not stopping, under the lock
        // that stop() takes to say so: it never outlives stop().
        ::AcquireSRWLockShared(&lock_);
        const bool stopping = stopping_;
        if (!stopping && notified_now) {
            follow_up_until_ = ::GetTickCount64() + follow_up_ms;
            arm(interval_ms_);
        } else if (!stopping && notified() && follow_up_until_ && ::GetTickCount64() >= follow_up_until_) {
            follow_up_until_ = 0;
            arm(safety_net_ms_);
        }
        ::ReleaseSRWLockShared(&lock_);
        if (stopping) return;
        std::error_code ec;
        std::vector<key_info> now = keys(ec);
        if (ec) return;  // nothing known for sure this time
        std::vector<key_event> events;
        // A known key missing from the listing is gone only if its path says
        // so; a busy one is not.
        for (key_info &k : known_) {
            const bool listed = contains(now, k);
            if (!listed && !key_gone(k.path) && !same_path(now, k)) {
                now.push_back(k);
                continue;
            }
            if (!listed) events.push_back(key_event{key_event::removed, k});
        }
        for (const key_info &k : now)
            if (!contains(known_, k)) events.push_back(key_event{key_event::attached, k});
        known_.swap(now);
        if (events.empty()) return;
        ::AcquireSRWLockExclusive(&lock_);
        if (!stopping_) {
            for (key_event &e : events) queue_.push_back(std::move(e));
            ::WakeAllConditionVariable(&changed_);
        }
        ::ReleaseSRWLockExclusive(&lock_);
    }

    // The same attachment: the same path, attached at the same time.
    static bool contains(const std::vector<key_info> &list, const key_info &k) {
        for (const key_info &x : list)
            if (x.attached == k.attached && ::lstrcmpiA(x.path.c_str(), k.path.c_str()) == 0) return true;
        return false;
    }
    static bool same_path(const std::vector<key_info> &list, const key_info &k) {
        for (const key_info &x : list)
            if (::lstrcmpiA(x.path.c_str(), k.path.c_str()) == 0) return true;
        return false;
    }

    // The watcher's own thread: callbacks, one at a time, in order.
    static DWORD WINAPI deliver(void *self) {
        watch_state *w = static_cast<watch_state *>(self);
        ::AcquireSRWLockExclusive(&w->lock_);
        for (;;) {
            while (w->queue_.empty() && !w->stopping_) ::SleepConditionVariableSRW(&w->changed_, &w->lock_, INFINITE, 0);
            if (w->stopping_) break;
            key_event e = std::move(w->queue_.front());
            w->queue_.pop_front();
            ::ReleaseSRWLockExclusive(&w->lock_);
            w->callback_(e);
            ::AcquireSRWLockExclusive(&w->lock_);
        }
        ::ReleaseSRWLockExclusive(&w->lock_);
        w->release();
        return 0;
    }

    callback callback_;
    const DWORD interval_ms_, safety_net_ms_;
    volatile LONG refs_ = 1;
    volatile LONG pending_ = 0;
    volatile LONG notifications_ = 0;
    PTP_WORK work_ = nullptr;
    PTP_TIMER timer_ = nullptr;
    HANDLE notification_ = nullptr;
    cm_unregister unregister_ = nullptr;
    HANDLE thread_ = nullptr;
    DWORD thread_id_ = 0;
    // Only the re-listing, which never runs twice at once, touches these.
    std::vector<key_info> known_;
    ULONGLONG follow_up_until_ = 0;
    SRWLOCK relist_lock_ = SRWLOCK_INIT;
    // Under lock_:
    SRWLOCK lock_ = SRWLOCK_INIT;
    CONDITION_VARIABLE changed_ = CONDITION_VARIABLE_INIT;
    std::deque<key_event> queue_;
    bool stopping_ = false;
};

}  // namespace detail

// Watches for keys coming and going, and calls `callback` on a thread of the
// watcher's own, one call at a time:
//   - first `attached` for every key already present, oldest first;
//   - then one event for each change, as the listings show them: removals,
//     then attachments oldest first. A key is reported attached once it can
//     be opened; a key unplugged and plugged back between two listings is
//     reported removed, then attached (its attach time has changed).
// A callback may open and use the key, and may call stop() or destroy the
// watcher. Where the platform notifies of device interfaces
// (CM_Register_Notification), each notification asks for one re-listing on
// the thread pool, a burst of them settling for 50 ms into one, and a listing
// also runs every `safety_net` in case one was missed; elsewhere (Wine, say)
// the watcher lists the keys every `interval`. notified() tells which. A
// listing opens each key for a moment: a few milliseconds per key.
class key_watcher {
public:
    using callback = std::function<void(const key_event &)>;
    static constexpr std::chrono::milliseconds default_interval{250};
    static constexpr std::chrono::milliseconds safety_net{5000};

    key_watcher(callback cb, std::error_code &ec, std::chrono::milliseconds interval = default_interval) {
        start(std::move(cb), interval, ec);
    }
#if OLVEXLIB_HPP_EXCEPTIONS
    explicit key_watcher(callback cb, std::chrono::milliseconds interval = default_interval) {
        std::error_code ec;
        start(std::move(cb), interval, ec);
        detail::throw_if(ec, "olvex: cannot watch for keys");
    }
#endif
    key_watcher(const key_watcher &) = delete;
    key_watcher &operator=(const key_watcher &) = delete;
    ~key_watcher() { stop(); }

    // No callback starts once this returns; called off the watcher's thread,
    // none is running either.
    void stop() noexcept {
        if (detail::watch_state *s = state_.exchange(nullptr)) s->stop();
    }
    bool is_watching() const noexcept { return state_.load() != nullptr; }
    // Whether changes come from the platform's notifications (else polling).
    bool notified() const noexcept {
        const detail::watch_state *s = state_.load();
        return s && s->notified();
    }

private:
    void start(callback cb, std::chrono::milliseconds interval, std::error_code &ec) {
        ec.clear();
        if (!cb || interval.count() <= 0) {
            ec = detail::win32_error(ERROR_INVALID_PARAMETER);
            return;
        }
        const long long ms = interval.count() < 0xFFFFFFFELL ? interval.count() : 0xFFFFFFFELL;
        state_ = detail::watch_state::make(std::move(cb), static_cast<DWORD>(ms),
                                           static_cast<DWORD>(safety_net.count()), ec);
    }

    std::atomic<detail::watch_state *> state_{nullptr};
};

}  // namespace olvex

#endif  // OLVEXLIB_HPP
