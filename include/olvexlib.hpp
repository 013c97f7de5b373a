// Olvexlib for C++17: the four calls of olvexlib.h behind a connection that
// closes itself, exchanges that size their own response buffer, errors as
// std::error_code, and an optional time limit per exchange.
//
//   for (const std::string &path : olvex::key_paths()) std::cout << path << '\n';
//   olvex::connection key(0);                                  // opens key 0
//   olvex::response r = key.exchange(command);                 // any byte container
//   r = key.exchange(command, std::chrono::milliseconds(500));  // or give up after 500 ms
//   // r.status is the key's status word, r.body its answer
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
// How a time limit keeps the key's late answer from ever reaching another
// exchange is told at class connection.
// Without exceptions (no __cpp_exceptions), only the error_code forms exist.
//
// Threads: as for the C calls. Exchanges on one connection may run from many
// threads at once; listing and opening must not overlap another listing or
// opening anywhere in the process.
#ifndef OLVEXLIB_HPP
#define OLVEXLIB_HPP

#include <windows.h>

#include <chrono>
#include <cstring>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory>
#include <new>
#include <string>
#include <system_error>
#include <type_traits>
#include <utility>
#include <vector>

#include "olvexlib.h"

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

    // The exchange under a time limit (1 ms to 0xFFFFFFFE ms). Returns the
    // status word, or OLVEX_FAIL with `error` set.
    int exchange(const unsigned char *command, int length, DWORD timeoutMs, unsigned char *body, int *bodyLength,
                 DWORD *error) noexcept {
        using clock = std::chrono::steady_clock;
        const clock::time_point deadline = clock::now() + std::chrono::milliseconds(timeoutMs);
        ::AcquireSRWLockExclusive(&lock_);
        const unsigned long long generation = cancels_;
        DWORD failure = start_thread();
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

// Rebuilds the process-wide list of attached keys (oldest first, at most 10)
// and returns their number; 0 on failure.
inline int key_count(std::error_code &ec) noexcept {
    int count = 0;
    if (OLVEX_EnumDEV(&count) != OLVEX_OK) {
        ec = detail::last_error();
        return 0;
    }
    ec.clear();
    return count;
}

// The device path of key `index` of the last listing, read by opening the key
// for a moment (the library hands paths out no other way).
inline std::string key_path(int index, std::error_code &ec) {
    char path[OLVEX_PATH_SIZE + 1] = {};
    OLVEX_HANDLE handle = nullptr;
    if (OLVEX_Connect(&handle, path, index) != OLVEX_OK) {
        ec = detail::last_error();
        return std::string();
    }
    OLVEX_Disconnect(handle);
    ec.clear();
    return std::string(path);
}

// Lists the keys and returns each one's path, oldest first. A key that
// cannot be opened at the moment (unplugged since) keeps its place with an
// empty path; ec then names the last such cause, and the list is still given.
inline std::vector<std::string> key_paths(std::error_code &ec) {
    const int count = key_count(ec);
    std::vector<std::string> paths;
    if (ec) return paths;
    paths.reserve(static_cast<std::size_t>(count));
    std::error_code failure;
    for (int i = 0; i < count; ++i) {
        std::error_code one;
        paths.push_back(key_path(i, one));
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
#if OLVEXLIB_HPP_EXCEPTIONS
    explicit connection(int index) {
        std::error_code ec;
        open(index, ec);
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
        if (!channel_) {
            ec = detail::win32_error(ERROR_INVALID_HANDLE);
            return OLVEX_FAIL;
        }
        if (size > max_command || (!command && size > 0) || !body || !bodyLength ||
            (timeout != no_timeout && timeout.count() <= 0)) {
            ec = detail::win32_error(ERROR_INVALID_PARAMETER);
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
            status = channel_->exchange(bytes, n, static_cast<DWORD>(ms), out, bodyLength, &error);
        }
        if (status == OLVEX_FAIL) {
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
        if (OLVEX_Connect(&handle, found, index) != OLVEX_OK) {
            ec = detail::last_error();
            return;
        }
        adopt(handle, found, ec);
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

}  // namespace olvex

#endif  // OLVEXLIB_HPP
