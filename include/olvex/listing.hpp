// olvexlib.hpp: listing the attached keys. Include olvexlib.hpp, not this.
#ifndef OLVEX_LISTING_HPP
#define OLVEX_LISTING_HPP

#include "common.hpp"
#include "identity.hpp"

namespace olvex {
namespace detail {

// The library's key list is one per process and unguarded, so every listing
// and opening made through this header takes one lock, the same in every
// module of the process that includes it (a program, Olvexkit.dll, plug-ins):
// a mutex named after the process. Calls made to the C functions directly do
// not take it.
class listing_guard {
public:
    listing_guard() noexcept {
        if (const HANDLE m = mutex()) {
            const DWORD r = ::WaitForSingleObject(m, INFINITE);
            // A thread that ended while listing left nothing half done that matters:
            // the next listing rebuilds the list from scratch.
            held_ = r == WAIT_OBJECT_0 || r == WAIT_ABANDONED;
        }
        if (!held_) ::AcquireSRWLockExclusive(&fallback());
    }
    ~listing_guard() {
        if (held_) ::ReleaseMutex(mutex());
        else ::ReleaseSRWLockExclusive(&fallback());
    }
    listing_guard(const listing_guard &) = delete;
    listing_guard &operator=(const listing_guard &) = delete;

    static std::string name() {
        return "Local\\olvexlib-listing-" + std::to_string(::GetCurrentProcessId());
    }

private:
    static HANDLE mutex() noexcept {
        static const unique_handle m(::CreateMutexA(nullptr, FALSE, name().c_str()));
        return m.h;
    }
    // Without the mutex (no memory for it, say) this module still lists alone.
    static SRWLOCK &fallback() noexcept {
        static SRWLOCK lock = SRWLOCK_INIT;
        return lock;
    }
    bool held_ = false;
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
// attached, and when it was attached (the library's own dating); and what the
// path says it is (olvex::identify), which stays the same when it is plugged
// back: 0 and empty where the path does not say.
struct key_info {
    std::string path;
    std::chrono::system_clock::time_point attached;
    std::uint16_t vendor_id = 0;
    std::uint16_t product_id = 0;
    std::string serial;
};

namespace detail {
inline key_info make_key_info(std::string path, std::chrono::system_clock::time_point attached) {
    key_identity id = identify(path);
    return key_info{std::move(path), attached, id.vendor_id, id.product_id, std::move(id.serial)};
}
}  // namespace detail

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
        found.push_back(detail::make_key_info(std::move(path), detail::from_filetime(time)));
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

}  // namespace olvex

#endif  // OLVEX_LISTING_HPP
