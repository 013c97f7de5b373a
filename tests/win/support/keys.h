// Virtual keys and connections as the DLL tests use them: plugging, finding a
// key's index, deriving its lock's name, exchanging through OLVEX_DoCommand,
// and starting copies of the test program as peer processes.
#pragma once
#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "keysim.h"
#include "olvexlib.h"

namespace testsupport {

struct KeyUnplugger {
    void operator()(keysim::Key *key) const { keysim::Unplug(key); }
};
using KeyPtr = std::unique_ptr<keysim::Key, KeyUnplugger>;

// A serial no other key of this run has: stem, process id and a counter.
std::string FreshSerial(const char *stem);
KeyPtr PlugKey(const std::string &serial, const keysim::Behaviour &behaviour = {});

keysim::Behaviour Echo(uint16_t status = 0x9000, unsigned latencyMs = 0);
keysim::Behaviour Length(uint32_t dataLength, uint16_t status = 0x9000);
keysim::Behaviour Script(std::vector<std::vector<uint8_t>> parts);
keysim::Behaviour WithMode(keysim::Mode mode);

// OLVEX_Connect, tried again while every listening instance of the key's pipe
// is taken (keysim adds listeners in the background, and slowly under load).
int ConnectWhenFree(OLVEX_HANDLE *c, char *pathOut, int index);
// Enumerates, then the index OLVEX_Connect gives that path, or -1.
int IndexOf(const std::string &path);
// Enumerates and connects to the key with that path; nullptr on failure.
OLVEX_HANDLE ConnectTo(const std::string &path);

// The lock name peers derive: the path reversed, each '\' turned into 'a'.
std::string LockName(const std::string &path);

// The record behind a handle, as the DLL lays it out.
struct ConnectionRecord {
    uint8_t tag;
    HANDLE device;
    HANDLE lock;
};
inline const ConnectionRecord *RecordOf(OLVEX_HANDLE h) { return reinterpret_cast<const ConnectionRecord *>(h); }

// True when a thread that is not the caller can take the key's lock at once:
// nobody, the caller's thread included, holds it.
bool LockIsFree(const std::string &path);

// Room for the longest body, and a guard zone that must stay untouched.
constexpr int kGuard = 64;
struct Reply {
    int result = OLVEX_FAIL;
    int length = -7;  // as the caller left it unless the DLL stored a length
    DWORD error = 0;  // the last error right after the call
    std::vector<uint8_t> body;
    bool guardIntact = true;         // nothing written past the stored length
    bool untouched = true;           // the buffer as it was given
};
Reply Exchange(OLVEX_HANDLE c, const std::vector<uint8_t> &payload);
std::vector<uint8_t> Bytes(size_t n, uint8_t seed);

// Polls until the process holds `expected` handles (keysim recycles pipe
// instances in the background) or a few seconds pass; the last count.
long SettledHandleCount(long expected);
// Handles held once `key` has let go of every pipe instance: the baseline
// when expected < 0, else polled for as above.
long IdleHandleCount(const keysim::Key *key, long expected = -1);

// Starts this program again with `args`; the process handle, or nullptr.
HANDLE StartSelf(const std::string &args);
// Starts `program` of this program's folder (keysim.exe, say) with `args`.
HANDLE StartBeside(const std::string &program, const std::string &args);
// The exit code, or -1 when it does not end within timeoutMs (it is then killed).
int FinishProcess(HANDLE process, DWORD timeoutMs = 60000);

}  // namespace testsupport
