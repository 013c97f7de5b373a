// Olvexkit.dll: olvexlib.hpp's connections for the bindings, behind a C
// interface. Nothing of its own: each export hands one call to the header, so
// every layer gives up on a key, cancels and closes the same way.
#define OLVEXKIT_EXPORT
#include "olvexkit.h"

#include "olvexlib.hpp"

struct OLVEXKIT_Key {
    olvex::connection connection;
};

namespace {

unsigned long Report(const std::error_code &ec) {
    const DWORD e = ec ? static_cast<DWORD>(ec.value()) : 0;
    ::SetLastError(e);
    return e;
}

unsigned long Report(DWORD e) {
    ::SetLastError(e);
    return e;
}

}  // namespace

extern "C" unsigned long OLVEXKIT_API OLVEXKIT_Open(OLVEXKIT_KEY *key, int index, char *pathOut) {
    if (!key) return Report(ERROR_INVALID_PARAMETER);
    std::error_code ec;
    olvex::connection c(index, ec);
    if (ec) return Report(ec);
    auto *k = new (std::nothrow) OLVEXKIT_Key;
    if (!k) return Report(ERROR_NOT_ENOUGH_MEMORY);
    k->connection = std::move(c);
    if (pathOut) {
        const std::string &path = k->connection.path();
        std::memcpy(pathOut, path.c_str(), path.size() + 1);
    }
    *key = k;
    return Report(0);
}

extern "C" unsigned long OLVEXKIT_API OLVEXKIT_Exchange(OLVEXKIT_KEY key, const void *command, int commandLength,
                                                        void *response, int *responseLength, int *status,
                                                        unsigned long timeoutMs) {
    if (!key) return Report(ERROR_INVALID_HANDLE);
    if (commandLength < 0 || !status || timeoutMs == 0) return Report(ERROR_INVALID_PARAMETER);
    const std::chrono::milliseconds limit =
        timeoutMs == OLVEXKIT_NO_TIMEOUT ? olvex::no_timeout : std::chrono::milliseconds(timeoutMs);
    std::error_code ec;
    const int s = key->connection.exchange_into(command, static_cast<std::size_t>(commandLength), limit, response,
                                                responseLength, ec);
    if (s != OLVEX_FAIL) *status = s;
    return Report(ec);
}

extern "C" unsigned long OLVEXKIT_API OLVEXKIT_Cancel(OLVEXKIT_KEY key) {
    if (!key) return Report(ERROR_INVALID_HANDLE);
    key->connection.cancel();
    return Report(0);
}

extern "C" unsigned long OLVEXKIT_API OLVEXKIT_Close(OLVEXKIT_KEY key, unsigned long graceMs) {
    if (!key) return Report(0);
    std::error_code ec;
    key->connection.close(std::chrono::milliseconds(graceMs), ec);
    delete key;
    return Report(ec);
}
