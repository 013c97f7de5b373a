// Exchanges that Ctrl-C and a time limit can end, on olvexlib.hpp's timed
// exchange: the key's lock is kept until a late answer has been read, so
// giving up never leaves an answer for the next program.
#pragma once
#include <windows.h>

#include <cstdint>
#include <system_error>
#include <vector>

#include "olvexlib.hpp"

namespace olvextool {

// From now on the first Ctrl-C (or Ctrl-Break) cancels a running exchange,
// which returns; the commands then stop (exit 130), closing their key, which
// reads and drops an answer still owed. With no key open it ends the tool at
// once. A second Ctrl-C ends the tool at once, whatever it is waiting for.
void CatchInterrupts();
bool Interrupted();
// Waits `ms`; true as soon as an interrupt comes.
bool SleepUnlessInterrupted(DWORD ms);

// Tells the interrupt handler that a key is open for the commands: an
// interrupt then lets them stop and close it.
class OpenKey {
public:
    OpenKey();
    OpenKey(const OpenKey &) = delete;
    OpenKey &operator=(const OpenKey &) = delete;
    ~OpenKey();
};

enum class Outcome { Answered, Failed, NoAnswer, LockHeld, Removed, Interrupted };

struct Exchanged {
    Outcome outcome = Outcome::Failed;
    olvex::response response;
    std::error_code error;  // Failed: the cause
};

// timeoutMs < 0: no limit. On a connection, or inside its transaction.
Exchanged Exchange(const olvex::exchanger &key, const std::vector<uint8_t> &payload, int timeoutMs);

// Begins a transaction on `key` that Ctrl-C can end while it waits for the
// key's lock; timeoutMs < 0: no limit.
std::error_code Begin(const olvex::connection &key, int timeoutMs, olvex::transaction *tx);

}  // namespace olvextool
