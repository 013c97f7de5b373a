// Pieces of keysim shared between its translation units.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "keysim.h"

namespace keysim {
namespace detail {

std::wstring Widen(const std::string &s);

// The counters a serving process publishes in a named file mapping. One
// writer (the key's server thread); readers retry while `seq` is odd or moves.
struct SharedBlock {
    volatile LONG seq;
    DWORD pid;
    LONG64 requests;
    LONG64 malformed;
    LONG64 interleaved;
    LONG64 misdelivered;
    LONG64 drained;
    LONG openHandles;
    LONG processing;  // answers not yet started that the key will write by itself
    DWORD lastLength;
    BYTE last[65540];
    // Who sent request n (from 1): log[(n - 1) % kLogSize], until n + kLogSize.
    struct {
        DWORD connection, process;
    } log[kLogSize];
};

std::wstring SharedName(const std::string &keyId);
bool ReadBlock(const SharedBlock *block, Stats *out);

// Registry entries that make SetupAPI list a present interface.
struct RegistryNames {
    std::wstring interfaceKey;  // under DeviceClasses\{guid}
    std::wstring instanceId;    // USB\VID_xxxx&PID_xxxx\<serial>
};
RegistryNames MakeRegistryNames(const KeyOptions &options, const std::string &path);
bool AddRegistry(const RegistryNames &names, const std::string &path, bool withControl);
void RemoveRegistry(const RegistryNames &names);

// The pipe server behind one key.
class Server;
Server *StartServer(const std::wstring &pipeName, const Behaviour &behaviour, bool perHandle, SharedBlock *block);
void StopServer(Server *server);
void SetServerBehaviour(Server *server, const Behaviour &behaviour);
// Returns once the server owes nothing and no client can read what it owed.
void DropOwed(Server *server);

// The frames a behaviour writes for one request, one element per write.
std::vector<std::vector<uint8_t>> BuildResponse(const Behaviour &behaviour, const uint8_t *request,
                                                size_t length, bool wellFormed);

}  // namespace detail
}  // namespace keysim
