// Exchanges that Ctrl-C and a time limit can end. The tool takes the key's
// lock itself before each exchange (the library's wait for it cannot be
// interrupted), so it knows whether an exchange that ran out of time was still
// queued behind another program or waiting for the key.
#pragma once
#include <windows.h>

#include <cstdint>
#include <system_error>
#include <vector>

#include "olvexlib.hpp"

namespace olvextool {

// From now on Ctrl-C and Ctrl-Break cancel a running exchange and let it
// return, so the key's lock is released rather than abandoned; the commands
// then stop (exit 130).
void CatchInterrupts();
bool Interrupted();
// Waits `ms`; true as soon as an interrupt comes.
bool SleepUnlessInterrupted(DWORD ms);

enum class Outcome { Answered, Failed, NoAnswer, LockHeld, Interrupted };

struct Exchanged {
    Outcome outcome = Outcome::Failed;
    olvex::response response;
    std::error_code error;  // Failed: the cause
};

class GuardedKey {
public:
    // Opens the key's lock; on failure ec names the cause.
    GuardedKey(const olvex::connection &key, std::error_code &ec);
    GuardedKey(const GuardedKey &) = delete;
    GuardedKey &operator=(const GuardedKey &) = delete;
    ~GuardedKey();

    // timeoutMs < 0: no limit.
    Exchanged Exchange(const std::vector<uint8_t> &payload, int timeoutMs);

private:
    const olvex::connection &key_;
    HANDLE lock_ = nullptr;
};

}  // namespace olvextool
