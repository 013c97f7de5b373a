// Plain client-side access to virtual keys, the way an application reaches a
// real one: SetupAPI, the registry, CreateFileA, WriteFile and ReadFile.
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "keysim.h"

namespace test {

struct Unplugger {
    void operator()(keysim::Key *key) const { keysim::Unplug(key); }
};
using KeyPtr = std::unique_ptr<keysim::Key, Unplugger>;

KeyPtr PlugKey(const std::string &serial, const keysim::Behaviour &behaviour = {});
KeyPtr PlugKey(const keysim::KeyOptions &options);
keysim::Behaviour Length(uint32_t dataLength);

// Device paths of present interfaces, in SetupAPI's order.
std::vector<std::string> ListPresent();
bool IsListed(const std::string &path);

HANDLE Open(const std::string &path);
// The interface-level Control key's last-write time; false when it is absent.
bool AttachTime(const std::string &path, ULONGLONG *time);
bool RegistryKeyExists(const std::string &subkeyOfHklm);

std::vector<uint8_t> Command(const std::vector<uint8_t> &payload);
bool Send(HANDLE h, const std::vector<uint8_t> &bytes);
// Reads one response as a client of the key must: 256 bytes first, then
// exactly L-253 more when the frame is longer. False when a read fails or
// falls short.
bool Receive(HANDLE h, std::vector<uint8_t> *frame);
bool Exchange(HANDLE h, const std::vector<uint8_t> &payload, std::vector<uint8_t> *frame);
// Bytes the key has sent that nobody has read yet.
DWORD Pending(HANDLE h);
// Waits until a message is ready on `h`; false after timeoutMs.
bool WaitPending(HANDLE h, DWORD timeoutMs);

// Exchanges `iterations` times with the key at `path`, one payload byte each.
// Under `lock` (a mutex), every exchange must come back whole and be its own.
// Without one, answers go astray, so each round only sends and reads what
// comes within a short while, and fails only when the key breaks.
bool Exchanges(const std::string &path, int iterations, HANDLE lock);

std::string SelfDirectory();
// Runs a program of the test's folder; returns its exit code, or -1. One that
// outlasts the timeout is ended. With `output`, collects its stdout and stderr.
int RunHere(const std::string &program, const std::string &args, DWORD timeoutMs = 20000,
            std::string *output = nullptr);

// A program of the test's folder running alongside the test, ended with the
// object if it is still running then: a failed test leaves no server behind.
class Process {
public:
    Process(const std::string &program, const std::string &args);
    ~Process();
    Process(const Process &) = delete;
    Process &operator=(const Process &) = delete;
    bool Started() const { return handle_ != nullptr; }
    bool Wait(DWORD timeoutMs, DWORD *code);

private:
    HANDLE handle_ = nullptr;
};

}  // namespace test
