// olvexlib.hpp's shared ground: limits, errors as std::error_code, small Win32
// helpers, and the three rules the header shares with the library, each
// written here once: the keys' interface class, the name of a key's lock, and
// how a key is dated. Include olvexlib.hpp, not this.
#ifndef OLVEX_COMMON_HPP
#define OLVEX_COMMON_HPP

#include <windows.h>
#include <setupapi.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <iterator>
#include <memory>
#include <new>
#include <string>
#include <system_error>
#include <type_traits>
#include <utility>
#include <vector>

#include "../olvexlib.h"
#include "errors.hpp"

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
// How long closing a connection, or the program's end, waits for an answer
// the key still owes; also how long an exchange that finds the key's lock
// abandoned reads what the key still owed the program that died.
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

// The interface class every key is registered under.
inline constexpr GUID key_interface = {0x925FAD44, 0xE331, 0x4116, {0xB4, 0x09, 0x78, 0xFC, 0x2B, 0x51, 0xEA, 0x21}};

// The registry key whose last write dates a key's attachment, under HKLM:
// SYSTEM\CurrentControlSet\Control\DeviceClasses\{class, lower case}\<the
// path with characters 0, 1 and 3 made '#'>\Control.
inline std::string control_key(const std::string &path) {
    const GUID &g = key_interface;
    char guid[40];
    std::snprintf(guid, sizeof guid, "{%08lx-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}",
                  static_cast<unsigned long>(g.Data1), g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2],
                  g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    std::string name = path;
    name[0] = name[1] = name[3] = '#';
    return std::string("SYSTEM\\CurrentControlSet\\Control\\DeviceClasses\\") + guid + "\\" + name + "\\Control";
}

// When the key at `path` was attached, as the library dates it.
inline bool attach_time(const std::string &path, FILETIME *time) {
    if (path.size() < 4) return false;
    HKEY h;
    if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, control_key(path).c_str(), 0, KEY_READ, &h) != ERROR_SUCCESS)
        return false;
    const bool ok = ::RegQueryInfoKeyA(h, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                       nullptr, nullptr, time) == ERROR_SUCCESS;
    ::RegCloseKey(h);
    return ok;
}

inline unsigned long long ticks_of(const FILETIME &time) noexcept {
    return (static_cast<unsigned long long>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

// A failed call that left no cause still has to read as a failure.
inline std::error_code win32_error(DWORD e) noexcept {
    if (e == finishing_wait) return std::error_code(WAIT_TIMEOUT, finishing_category());
    return std::error_code(static_cast<int>(e), olvex::category());
}

inline std::error_code last_error() noexcept {
    const DWORD e = ::GetLastError();
    return win32_error(e != 0 ? e : ERROR_GEN_FAILURE);
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
        if (h && h != INVALID_HANDLE_VALUE) ::CloseHandle(h);
    }
};

// FILETIME counts 100 ns from 1601; system_clock, from 1970.
using filetime_ticks = std::chrono::duration<long long, std::ratio<1, 10000000>>;
constexpr long long filetime_1970 = 116444736000000000LL;

inline std::chrono::system_clock::time_point from_filetime(const FILETIME &time) {
    return std::chrono::system_clock::time_point(std::chrono::duration_cast<std::chrono::system_clock::duration>(
        filetime_ticks(static_cast<long long>(ticks_of(time)) - filetime_1970)));
}

inline FILETIME to_filetime(std::chrono::system_clock::time_point when) {
    const unsigned long long t = static_cast<unsigned long long>(
        std::chrono::duration_cast<filetime_ticks>(when.time_since_epoch()).count() + filetime_1970);
    FILETIME time;
    time.dwLowDateTime = static_cast<DWORD>(t);
    time.dwHighDateTime = static_cast<DWORD>(t >> 32);
    return time;
}

// Opens the key at `path` as the library does; INVALID_HANDLE_VALUE with the
// thread's last error set when it cannot.
inline HANDLE open_key(const std::string &path, DWORD flags = 0) noexcept {
    return ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, flags, nullptr);
}

// Whether the key that was at `path`, attached at `attached` (0: not known),
// has gone: its path no longer opens, and the platform says why; or it opens,
// but a newer attachment answers there. A key that is busy, or answers
// nothing, is still there.
inline bool key_gone(const std::string &path, unsigned long long attached) noexcept {
    const HANDLE h = open_key(path);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD e = ::GetLastError();
        return e == ERROR_FILE_NOT_FOUND || e == ERROR_DEVICE_NOT_CONNECTED;
    }
    ::CloseHandle(h);
    FILETIME now;
    return attached != 0 && attach_time(path, &now) && ticks_of(now) != attached;
}

using steady = std::chrono::steady_clock;

// Milliseconds from now until `deadline`, rounded up, for a platform wait.
inline DWORD ms_until(steady::time_point deadline) noexcept {
    const auto left = deadline - steady::now();
    if (left <= steady::duration::zero()) return 0;
    const long long ms = std::chrono::duration_cast<std::chrono::milliseconds>(left).count() + 1;
    return ms >= 0xFFFFFFFELL ? 0xFFFFFFFEUL : static_cast<DWORD>(ms);
}

// A positive limit in whole milliseconds, at most max_timeout.
inline DWORD limit_ms(std::chrono::milliseconds limit) noexcept {
    return static_cast<DWORD>(limit.count() < max_timeout.count() ? limit.count() : max_timeout.count());
}

}  // namespace detail
}  // namespace olvex

#endif  // OLVEX_COMMON_HPP
