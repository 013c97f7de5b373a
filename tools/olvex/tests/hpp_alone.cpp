// olvexlib.hpp on its own, every overload instantiated, so that the strictest
// warnings see all of it.
#ifdef OLVEX_MSVC_MINMAX
// MSVC's <windows.h> defines min and max as macros in C++ too (MinGW's only
// in C); the standard headers come first, as they guard against them there.
#include <windows.h>
#include <array>
#include <atomic>
#include <chrono>
#include <cstring>
#include <deque>
#include <functional>
#include <future>
#include <iterator>
#include <memory>
#include <new>
#include <string>
#include <system_error>
#include <vector>
#define max(a, b) (((a) > (b)) ? (a) : (b))
#define min(a, b) (((a) < (b)) ? (a) : (b))
#endif
#include "olvexlib.hpp"

#include <array>

static void WINAPI Done(void *, olvex::call_id, DWORD, int, int) {}

int OlvexHppAlone() {
    std::error_code ec;
    olvex::connection key(0, ec);
    const std::vector<std::uint8_t> bytes{0x00, 0xa4};
    const std::array<unsigned char, 2> array{};
    const std::string text = "a";
    const unsigned char raw[3] = {};
    const std::chrono::milliseconds limit(100);
    std::size_t total = key.exchange(bytes, ec).body.size() + key.exchange(array, limit, ec).body.size() +
                        key.exchange(raw, sizeof raw, ec).body.size() +
                        key.exchange(text.data(), text.size(), limit, ec).body.size();
#if OLVEXLIB_HPP_EXCEPTIONS
    total += key.exchange(bytes).body.size() + key.exchange(array, limit).body.size() +
             key.exchange(raw, sizeof raw).body.size() + key.exchange(text.data(), text.size(), limit).body.size();
    olvex::connection other(1);
    other = std::move(key);
    other.close();
    total += olvex::key_paths().size() + olvex::key_path(0).size() + static_cast<std::size_t>(olvex::key_count());
#endif
    unsigned char body[olvex::max_response_body];
    const olvex::call_id call = key.start(raw, sizeof raw, limit, body, Done, nullptr, ec);
    total += key.cancel(call) ? 1u : 0u;
    std::size_t answered = 0;
    key.start(raw, sizeof raw, limit, [&answered](const std::error_code &e, olvex::response r) {
        answered += e ? 0u : r.body.size();
    }, ec);
    key.start(bytes, olvex::no_timeout, [](const std::error_code &, const olvex::response &) {}, ec);
#if OLVEXLIB_HPP_FUTURE
    total += key.exchange_async(bytes, limit).get().body.size() + key.exchange_async(raw, sizeof raw).get().status;
#endif
    total += answered + olvex::error_message(258).size() + std::string(OLVEXLIB_HPP_VERSION).size();
    olvex::discard_owed(key.path());
    key.close(ec);
    olvex::close_all();
    total += olvex::key_paths(ec).size() + olvex::key_path(0, ec).size();
    return static_cast<int>(total) + olvex::key_count(ec);
}
