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

// Whether the keys were listed through this header in this process, by any
// module: a named event each module that listed keeps open.
inline std::string listed_name() {
    return "Local\\olvexlib-listed-" + std::to_string(::GetCurrentProcessId());
}
inline void mark_listed() noexcept {
    static const unique_handle marker(::CreateEventA(nullptr, TRUE, TRUE, listed_name().c_str()));
}
inline bool listed() noexcept {
    const unique_handle marker(::OpenEventA(SYNCHRONIZE, FALSE, listed_name().c_str()));
    return marker.h != nullptr;
}

inline int count_keys(std::error_code &ec) noexcept {
    int count = 0;
    if (OLVEX_EnumDEV(&count) != OLVEX_OK) {
        ec = last_error();
        return 0;
    }
    mark_listed();
    ec.clear();
    return count;
}

// OLVEX_Connect by index, under the listing guard. An index is a place in a
// listing: before the first, the keys are listed, so that key 0 is the
// oldest attached key rather than an index into nothing.
inline bool connect_index(int index, OLVEX_HANDLE *handle, char *path, std::error_code &ec) noexcept {
    if (index >= 0 && !listed()) {
        count_keys(ec);
        if (ec) return false;
    }
    if (OLVEX_Connect(handle, path, index) != OLVEX_OK) {
        ec = last_error();
        return false;
    }
    ec.clear();
    return true;
}

#if OLVEXLIB_HPP_EXCEPTIONS
// An index outside the listing says so, not just "the parameter is incorrect".
inline void throw_if_index(const std::error_code &ec, int index) {
    if (ec.value() == ERROR_INVALID_PARAMETER)
        throw std::system_error(ec, "olvex: no key at index " + std::to_string(index) +
                                        " of the last listing (list the keys again: key_count() or keys())");
    throw_if(ec, "olvex: cannot open key");
}
#endif

inline std::string path_of(int index, std::error_code &ec) {
    char path[OLVEX_PATH_SIZE + 1] = {};
    OLVEX_HANDLE handle = nullptr;
    if (!connect_index(index, &handle, path, ec)) return std::string();
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

// The device path of key `index` of the last listing (listing the keys first
// when this process has not), read by opening the key for a moment (the
// library hands paths out no other way).
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
    detail::throw_if_index(ec, index);
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

// Whether an attached key can be opened, and if not, why.
enum class key_state {
    openable,     // in the listing, at `index`
    not_listed,   // opens, but the listing holds only the 10 oldest keys (or
                  // it was attached while the listing was made): it cannot be
                  // opened until older keys go
    open_failed,  // does not open now: open_error says why (another program
                  // holds it exclusively, access denied, unplugged...)
    undated,      // opens, but the platform keeps no attach time for it, so
                  // the library does not list it
};

// An attached key: its device path, which names it for as long as it stays
// attached, and when it was attached (the library's own dating; the epoch
// when not known), its place in the listing and whether it can be opened; and
// what the path says it is (olvex::identify), which stays the same when it is
// plugged back: 0 and empty where the path does not say.
struct key_info {
    std::string path;
    std::chrono::system_clock::time_point attached;
    int index = -1;  // what connection(index) takes; -1: not in the listing
    key_state state = key_state::openable;
    std::error_code open_error;  // open_failed: the platform's cause
    std::uint16_t vendor_id = 0;
    std::uint16_t product_id = 0;
    std::string serial;
};

namespace detail {

inline key_info make_key_info(std::string path, std::chrono::system_clock::time_point attached) {
    key_identity id = identify(path);
    key_info k;
    k.path = std::move(path);
    k.attached = attached;
    k.vendor_id = id.vendor_id;
    k.product_id = id.product_id;
    k.serial = std::move(id.serial);
    return k;
}

// The keys the library lists and that open now, oldest first, each with its
// attach time and index; what a watcher follows.
inline std::vector<key_info> listed_keys(std::error_code &ec) {
    std::vector<key_info> found;
    const listing_guard guard;
    const int count = count_keys(ec);
    if (ec) return found;
    for (int i = 0; i < count; ++i) {
        std::error_code one;
        std::string path = path_of(i, one);
        FILETIME time;
        if (one || !attach_time(path, &time)) continue;
        key_info k = make_key_info(std::move(path), from_filetime(time));
        k.index = i;
        found.push_back(std::move(k));
    }
    return found;
}

// The device path of every present interface of the keys' class, in the
// platform's order, listed by the library or not. SetupAPI is looked up at
// run time: programs that never ask link nothing more.
inline std::vector<std::string> present_paths(std::error_code &ec) {
    using get_set = HDEVINFO(WINAPI *)(const GUID *, PCSTR, HWND, DWORD);
    using enum_interfaces = BOOL(WINAPI *)(HDEVINFO, PSP_DEVINFO_DATA, const GUID *, DWORD, PSP_DEVICE_INTERFACE_DATA);
    using get_detail = BOOL(WINAPI *)(HDEVINFO, PSP_DEVICE_INTERFACE_DATA, PSP_DEVICE_INTERFACE_DETAIL_DATA_A, DWORD,
                                      PDWORD, PSP_DEVINFO_DATA);
    using destroy_set = BOOL(WINAPI *)(HDEVINFO);
    std::vector<std::string> paths;
    static const HMODULE setupapi = ::LoadLibraryA("setupapi.dll");
    const auto find = [](const char *name) {
        return setupapi ? reinterpret_cast<void (*)()>(::GetProcAddress(setupapi, name)) : nullptr;
    };
    const auto get = reinterpret_cast<get_set>(find("SetupDiGetClassDevsA"));
    const auto next = reinterpret_cast<enum_interfaces>(find("SetupDiEnumDeviceInterfaces"));
    const auto detail_of = reinterpret_cast<get_detail>(find("SetupDiGetDeviceInterfaceDetailA"));
    const auto destroy = reinterpret_cast<destroy_set>(find("SetupDiDestroyDeviceInfoList"));
    if (!get || !next || !detail_of || !destroy) {
        ec = last_error();
        return paths;
    }
    const HDEVINFO set = get(&key_interface, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) {
        ec = last_error();
        return paths;
    }
    for (DWORD i = 0;; ++i) {
        SP_DEVICE_INTERFACE_DATA data = {};
        data.cbSize = sizeof data;
        if (!next(set, nullptr, &key_interface, i, &data)) break;
        DWORD required = 0;
        detail_of(set, &data, nullptr, 0, &required, nullptr);
        if (required <= sizeof(DWORD)) continue;
        // DWORDs, for the record's alignment.
        std::unique_ptr<DWORD[]> room(new (std::nothrow) DWORD[required / sizeof(DWORD) + 1]);
        auto *found = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(room.get());
        if (!found) break;
        found->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        if (detail_of(set, &data, found, required, &required, nullptr)) paths.emplace_back(found->DevicePath);
    }
    destroy(set);
    ec.clear();
    return paths;
}

}  // namespace detail

// Every attached key: first those the library lists, oldest first, each
// with its index and attach time (state openable); then any other attached
// key, with why it cannot be opened (see key_state). A key that cannot be
// opened is still reported, never silently left out.
inline std::vector<key_info> keys(std::error_code &ec) {
    std::vector<key_info> found = detail::listed_keys(ec);
    if (ec) return found;
    std::error_code none;  // without the platform's full list, the listing still stands
    for (std::string &path : detail::present_paths(none)) {
        bool listed = false;
        for (const key_info &k : found) listed = listed || ::lstrcmpiA(k.path.c_str(), path.c_str()) == 0;
        if (listed) continue;
        key_info k = detail::make_key_info(path, {});
        const HANDLE h = detail::open_key(path);
        if (h == INVALID_HANDLE_VALUE) {
            k.state = key_state::open_failed;
            k.open_error = detail::last_error();
        } else {
            ::CloseHandle(h);
            FILETIME time;
            const bool dated = detail::attach_time(path, &time);
            if (dated) k.attached = detail::from_filetime(time);
            k.state = dated ? key_state::not_listed : key_state::undated;
        }
        found.push_back(std::move(k));
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
