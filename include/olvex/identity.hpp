// olvexlib.hpp: what a key's device path says the key is. Include
// olvexlib.hpp, not this. Platform-free, so that it is tested natively.
#ifndef OLVEX_IDENTITY_HPP
#define OLVEX_IDENTITY_HPP

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace olvex {

// A key as its device path names it: \\?\usb#vid_VVVV&pid_PPPP#SERIAL#{class}.
// Zeros and an empty serial where the path says nothing.
struct key_identity {
    std::uint16_t vendor_id = 0;
    std::uint16_t product_id = 0;
    std::string serial;
};

namespace detail {

inline char ascii_lower(char c) noexcept { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

inline bool same_ascii(std::string_view a, std::string_view b) noexcept {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (ascii_lower(a[i]) != ascii_lower(b[i])) return false;
    return true;
}

// "vid_1a2B" -> 0x1a2b: the prefix in any case, then exactly four hex digits.
inline bool hex_id(std::string_view text, std::string_view prefix, std::uint16_t *id) noexcept {
    if (text.size() != prefix.size() + 4 || !same_ascii(text.substr(0, prefix.size()), prefix)) return false;
    unsigned value = 0;
    for (const char c : text.substr(prefix.size())) {
        const char l = ascii_lower(c);
        const int digit = l >= '0' && l <= '9' ? l - '0' : l >= 'a' && l <= 'f' ? l - 'a' + 10 : -1;
        if (digit < 0) return false;
        value = value * 16 + static_cast<unsigned>(digit);
    }
    *id = static_cast<std::uint16_t>(value);
    return true;
}

}  // namespace detail

// The vendor id, product id and serial (the device's instance id) in `path`.
// Anything that is not exactly that form gives an empty identity: it never
// fails. The serial keeps the path's case; the platform may have changed it
// (same_serial compares without case). An instance id with '&' is one
// the platform made up for a device that reports no serial: it names the
// port, not the key, so the serial is left empty and the ids kept.
inline key_identity identify(std::string_view path) {
    key_identity none;
    constexpr std::string_view lead = "\\\\?\\";
    if (path.substr(0, lead.size()) != lead) return none;
    std::string_view part[4];
    std::string_view rest = path.substr(lead.size());
    for (int i = 0; i < 4; ++i) {
        const std::size_t hash = i < 3 ? rest.find('#') : rest.npos;
        if (i < 3 && hash == rest.npos) return none;
        part[i] = rest.substr(0, hash);
        rest = i < 3 ? rest.substr(hash + 1) : std::string_view();
    }
    const std::string_view hardware = part[1], instance = part[2], guid = part[3];
    const std::size_t amp = hardware.find('&');
    key_identity id;
    if (!detail::same_ascii(part[0], "usb") || amp == hardware.npos ||
        !detail::hex_id(hardware.substr(0, amp), "vid_", &id.vendor_id) ||
        !detail::hex_id(hardware.substr(amp + 1), "pid_", &id.product_id) || instance.empty() ||
        guid.size() != 38 || guid.front() != '{' || guid.back() != '}' || guid.find('#') != guid.npos)
        return none;
    if (instance.find('&') == instance.npos) id.serial.assign(instance.data(), instance.size());
    return id;
}

// Whether two serials name the same key: compared as the platform compares
// device names, without regard to case. An empty serial names no key.
inline bool same_serial(std::string_view a, std::string_view b) noexcept {
    return !a.empty() && detail::same_ascii(a, b);
}

}  // namespace olvex

#endif  // OLVEX_IDENTITY_HPP
