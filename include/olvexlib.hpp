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
//                            negative time limit
//   ERROR_INVALID_HANDLE     an exchange on a connection that is not open
//   ERROR_TIMEOUT            the key did not answer within the time limit
//   WAIT_TIMEOUT             another thread or program held the key's lock
//                            for the whole time limit; nothing was sent
//   ERROR_OPERATION_ABORTED  another thread cancelled the exchange's I/O
//                            (CancelSynchronousIo on the exchanging thread)
// Without exceptions (no __cpp_exceptions), only the error_code forms exist.
//
// Threads: as for the C calls. Exchanges on one connection may run from many
// threads at once; listing and opening must not overlap another listing or
// opening anywhere in the process.
#ifndef OLVEXLIB_HPP
#define OLVEXLIB_HPP

#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory>
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

// Cancels the exchanging thread's I/O once the time is up, and again every
// few milliseconds: a cancel that lands before the read has started is lost.
struct canceller {
    HANDLE thread = nullptr;
    std::atomic<bool> returned{false};
    std::atomic<bool> fired{false};

    static void CALLBACK tick(PTP_CALLBACK_INSTANCE, void *context, PTP_TIMER) {
        canceller *self = static_cast<canceller *>(context);
        if (self->returned.load()) return;
        self->fired.store(true);
        ::CancelSynchronousIo(self->thread);
    }
};

constexpr DWORD retry_ms = 5;

// The exchange under a time limit. The lock is taken here first, with the
// limit as its timeout, since the library's own wait for it cannot be
// interrupted; the library's wait then returns at once (the mutex is this
// thread's), and what is left of the limit bounds the I/O.
inline int timed_exchange(OLVEX_HANDLE handle, const std::string &path, const unsigned char *command, int length,
                          std::chrono::milliseconds timeout, unsigned char *body, int *bodyLength,
                          std::error_code &ec) {
    using clock = std::chrono::steady_clock;
    const clock::time_point deadline = clock::now() + timeout;
    const unique_handle lock(::OpenMutexA(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, olvex::lock_name(path).c_str()));
    if (!lock.h) {
        ec = last_error();
        return OLVEX_FAIL;
    }
    const long long limit = timeout.count();
    const DWORD wait = ::WaitForSingleObject(lock.h, limit >= 0xFFFFFFFELL ? 0xFFFFFFFEUL : static_cast<DWORD>(limit));
    if (wait == WAIT_TIMEOUT) {
        ec = win32_error(WAIT_TIMEOUT);
        return OLVEX_FAIL;
    }
    if (wait != WAIT_OBJECT_0 && wait != WAIT_ABANDONED) {
        ec = last_error();
        return OLVEX_FAIL;
    }

    canceller state;
    int result = OLVEX_FAIL;
    DWORD error = 0;
    if (!::DuplicateHandle(::GetCurrentProcess(), ::GetCurrentThread(), ::GetCurrentProcess(), &state.thread,
                           THREAD_TERMINATE, FALSE, 0)) {
        error = ::GetLastError();
    } else if (PTP_TIMER timer = ::CreateThreadpoolTimer(&canceller::tick, &state, nullptr)) {
        const clock::duration left = deadline - clock::now();
        const long long ticks = left.count() > 0
                                    ? std::chrono::duration_cast<std::chrono::duration<long long, std::ratio<1, 10000000>>>(left).count()
                                    : 0;
        // Negative: relative to now, in 100 ns units.
        ULARGE_INTEGER due;
        due.QuadPart = static_cast<ULONGLONG>(-ticks);
        FILETIME dueTime;
        dueTime.dwLowDateTime = due.LowPart;
        dueTime.dwHighDateTime = due.HighPart;
        ::SetThreadpoolTimer(timer, &dueTime, retry_ms, 0);
        result = OLVEX_DoCommand(handle, command, length, body, bodyLength);
        error = ::GetLastError();
        state.returned.store(true);
        ::SetThreadpoolTimer(timer, nullptr, 0, 0);
        ::WaitForThreadpoolTimerCallbacks(timer, TRUE);
        ::CloseThreadpoolTimer(timer);
    } else {
        error = ::GetLastError();
    }
    if (state.thread) ::CloseHandle(state.thread);
    ::ReleaseMutex(lock.h);
    if (result == OLVEX_FAIL) {
        const bool ours = state.fired.load() && error == ERROR_OPERATION_ABORTED;
        ec = win32_error(ours ? ERROR_TIMEOUT : error != 0 ? error : ERROR_GEN_FAILURE);
    }
    return result;
}

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

// One open key. Move-only; the destructor disconnects. Exchanges may run on
// one connection from several threads at once, but never close or move it
// while one is running.
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
    connection(connection &&other) noexcept
        : handle_(std::exchange(other.handle_, nullptr)), path_(std::move(other.path_)) {}
    connection &operator=(connection &&other) noexcept {
        if (this != &other) {
            reset();
            handle_ = std::exchange(other.handle_, nullptr);
            path_ = std::move(other.path_);
        }
        return *this;
    }
    connection(const connection &) = delete;
    connection &operator=(const connection &) = delete;
    ~connection() { reset(); }

    bool is_open() const noexcept { return handle_ != nullptr; }
    explicit operator bool() const noexcept { return is_open(); }
    // The key's device path; empty when not open.
    const std::string &path() const noexcept { return path_; }
    OLVEX_HANDLE native_handle() const noexcept { return handle_; }

    void close(std::error_code &ec) noexcept {
        ec.clear();
        if (!handle_) return;
        if (OLVEX_Disconnect(handle_) != OLVEX_OK) ec = detail::last_error();
        handle_ = nullptr;
        path_.clear();
    }
#if OLVEXLIB_HPP_EXCEPTIONS
    void close() {
        std::error_code ec;
        close(ec);
        detail::throw_if(ec, "olvex: cannot disconnect");
    }
#endif

    // Sends one command and returns the key's status word and body. With a
    // time limit, an exchange still waiting for the key's lock when it runs
    // out sends nothing (WAIT_TIMEOUT); one waiting for the answer is
    // cancelled (ERROR_TIMEOUT), and the key may still answer later: that
    // answer can reach the next exchange on this key, so reconnect first.
    // A limit costs some tens of microseconds per exchange (the lock opened
    // by name, a thread-pool timer).
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

private:
    void open(int index, std::error_code &ec) {
        char found[OLVEX_PATH_SIZE + 1] = {};
        OLVEX_HANDLE handle = nullptr;
        if (OLVEX_Connect(&handle, found, index) != OLVEX_OK) {
            ec = detail::last_error();
            return;
        }
        handle_ = handle;
        path_ = found;
        ec.clear();
    }

    void reset() noexcept {
        if (handle_) OLVEX_Disconnect(handle_);
        handle_ = nullptr;
        path_.clear();
    }

    response run(const unsigned char *command, std::size_t size, std::chrono::milliseconds timeout,
                 std::error_code &ec) const {
        response r;
        if (!handle_) {
            ec = detail::win32_error(ERROR_INVALID_HANDLE);
            return r;
        }
        if (size > max_command || (!command && size > 0) || timeout.count() < 0) {
            ec = detail::win32_error(ERROR_INVALID_PARAMETER);
            return r;
        }
        // Room for the longest body any command can bring; only what came is kept.
        const std::unique_ptr<unsigned char[]> buffer(new unsigned char[max_response_body]);
        int length = 0;
        const int n = static_cast<int>(size);
        int status;
        if (timeout == no_timeout) {
            status = OLVEX_DoCommand(handle_, command, n, buffer.get(), &length);
            if (status == OLVEX_FAIL) ec = detail::last_error();
        } else {
            status = detail::timed_exchange(handle_, path_, command, n, timeout, buffer.get(), &length, ec);
        }
        if (status == OLVEX_FAIL) return r;
        ec.clear();
        r.status = static_cast<std::uint16_t>(status);
        r.body.assign(buffer.get(), buffer.get() + length);
        return r;
    }

    OLVEX_HANDLE handle_ = nullptr;
    std::string path_;
};

}  // namespace olvex

#endif  // OLVEXLIB_HPP
