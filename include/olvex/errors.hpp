// olvexlib.hpp: what each failure means, in one table, and the error category
// that words it. Include olvexlib.hpp, not this; it needs no <windows.h>, so
// that the table can be checked anywhere.
#ifndef OLVEX_ERRORS_HPP
#define OLVEX_ERRORS_HPP

#include <cstddef>
#include <string>
#include <system_error>

#ifdef _WIN32
#include <windows.h>
#endif

namespace olvex {
namespace detail {

// A failure's Windows code, the portable condition it compares equal to, and
// what it means to a caller of this library: what happened, then what to do.
struct error_row {
    int code;
    std::errc condition;
    const char *message;
};

// WAIT_TIMEOUT as this connection's own thread causes it (see channel): no
// Windows code, only how the channel tells the connection which 258 it is.
constexpr unsigned long finishing_wait = 0x20000000UL | 258UL;

inline constexpr error_row error_table[] = {
    {2, std::errc::no_such_device,
     "the key's path did not open: it was unplugged since the keys were listed; list them again"},
    {5, std::errc::permission_denied,
     "the key or its lock refused this account: run as an account the key's driver admits"},
    {6, std::errc::bad_file_descriptor,
     "the connection is not open (closed, moved from, or ended with the program), or the transaction has "
     "ended: open the key or begin again; or, "
     "opening a key, the name of its lock is taken by an object that is not a lock"},
    {8, std::errc::not_enough_memory, "out of memory"},
    {13, std::errc::bad_message,
     "the key's answer was refused: not a frame (a wrong first byte, or under 5 bytes), longer than a "
     "response can be (its rest was read and dropped), or shorter than its header says; trace the program "
     "to see the answer's bytes"},
    {14, std::errc::not_enough_memory, "out of memory"},
    {31, std::errc::io_error, "the key failed the exchange without saying why"},
    {32, std::errc::device_or_resource_busy,
     "another program holds the key open for itself alone: close it, then open the key again"},
    {87, std::errc::invalid_argument,
     "an argument was refused: a key index outside the last listing, a command longer than 65532 bytes, "
     "a time limit that is not positive, or a missing buffer"},
    {109, std::errc::broken_pipe, "the key's channel closed in the middle of the exchange"},
    {170, std::errc::device_or_resource_busy,
     "this connection has a transaction open already: end it first, or begin the other on another connection"},
    {258, std::errc::timed_out,
     "the key's lock was not had within the time limit: another exchange or program held it; nothing was sent"},
    {995, std::errc::operation_canceled,
     "the exchange was cancelled (by cancel, a close or the program's end); an answer the key still owed is "
     "read and dropped"},
    {1167, std::errc::no_such_device,
     "the key has been removed (or another key was attached at its path): open it again once it is back"},
    {1460, std::errc::timed_out,
     "the key did not answer within the time limit; this connection reads and drops its late answer, and "
     "its next exchange waits for that"},
};

inline const char finishing_message[] =
    "the key's lock was not had within the time limit: the key is still finishing this connection's earlier "
    "exchange, whose late answer is being read and dropped; nothing was sent";

inline const error_row *find_error(int code) noexcept {
    for (const error_row &row : error_table)
        if (row.code == code) return &row;
    return nullptr;
}

// The platform's own words for a code the table does not know.
inline std::string platform_message(int code) {
#ifdef _WIN32
    char text[512];
    DWORD n = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                               static_cast<DWORD>(code), 0, text, sizeof text, nullptr);
    while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r' || text[n - 1] == ' ' || text[n - 1] == '.')) --n;
    if (n > 0) return std::string(text, n);
#endif
    return "Windows error " + std::to_string(code);
}

class error_category final : public std::error_category {
public:
    explicit error_category(bool finishing) noexcept : finishing_(finishing) {}
    const char *name() const noexcept override { return "olvex"; }
    std::string message(int code) const override {
        if (finishing_ && code == 258) return finishing_message;
        const error_row *row = find_error(code);
        return row ? std::string(row->message) : platform_message(code);
    }
    std::error_condition default_error_condition(int code) const noexcept override {
        const error_row *row = find_error(code);
        return row ? std::error_condition(row->condition) : std::system_category().default_error_condition(code);
    }
    // Also equal to the system's own condition for the same code.
    bool equivalent(int code, const std::error_condition &condition) const noexcept override {
        return condition == default_error_condition(code) ||
               (condition.category() == std::system_category() && condition.value() == code);
    }

private:
    bool finishing_;
};

// 258 when the key's lock was held by this connection's own earlier, timed
// out exchange: the same code, its own words.
inline const std::error_category &finishing_category() noexcept {
    static const error_category c(true);
    return c;
}

}  // namespace detail

// The category of every error this header reports: value() is the Windows
// code (as GetLastError() gives it), message() what it means here, and it
// compares equal to the std::errc it amounts to (1460 and 258 timed_out, 995
// operation_canceled, 1167 no_such_device...).
inline const std::error_category &category() noexcept {
    static const detail::error_category c(false);
    return c;
}

// The words for a Windows code as this library means it, for callers that
// have only the code.
inline std::string error_message(int code) { return category().message(code); }

}  // namespace olvex

#endif  // OLVEX_ERRORS_HPP
