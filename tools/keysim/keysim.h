// keysim: virtual USB keys for testing under Wine. A plugged key is a present
// device interface that SetupAPI lists, and its device path opens a named pipe
// served by threads of the plugging process, speaking the key's framed wire
// format:
//   request  A5 lenLE16 payload[len]
//   response 5A lenLE16 body[len-2] SW1 SW2
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace keysim {

// Interface class the keys are registered under, as it appears in paths.
constexpr const char kInterfaceGuid[] = "{925fad44-e331-4116-b409-78fc2b51ea21}";
constexpr uint16_t kDefaultVid = 0x1234;
constexpr uint16_t kDefaultPid = 0x5678;
// The longest data length (body + status word) a well-behaved key sends.
constexpr uint32_t kMaxDataLength = 51197;

enum class Mode {
    Echo,           // body = payload, then `status`
    Length,         // body of `dataLength`-2 pattern bytes (see PatternByte), then `status`
    Script,         // writes `script` verbatim, one write per part, whatever the request
    WrongLead,      // as Echo, but the frame starts with 5B
    ShortFirst,     // writes only 5A 02 00 90: fewer than 5 bytes
    ShortSecond,    // as Length (>=254), but the part after the first 256 bytes is cut in half
    Silent,         // reads the request and never answers it
    CloseOnCommand  // reads the request and closes the pipe instance it came on
};
// A malformed request (not one write of exactly A5 lenLE payload) is counted
// and answered 5A 02 00 67 00, except in Script, Silent and CloseOnCommand.

struct Behaviour {
    Mode mode = Mode::Echo;
    uint16_t status = 0x9000;
    // Length/ShortSecond: the frame's length field, 2..65535. Above
    // kMaxDataLength the key is out of bounds on purpose.
    uint32_t dataLength = 2;
    std::vector<std::vector<uint8_t>> script;
    // Delay before an answer's first byte: from its request's arrival, or
    // from the end of the answer before it, whichever is later.
    unsigned latencyMs = 0;
};

struct KeyOptions {
    std::string serial;  // printable, no '\\', '/' or '#'
    uint16_t vid = kDefaultVid;
    uint16_t pid = kDefaultPid;
    Behaviour behaviour;
    bool refuseOpen = false;      // link and registry without a pipe server
    bool omitControlKey = false;  // no interface-level Control key (no attach time)
    // Answers each handle on its own, and forgets a handle's answers when it
    // closes, as a driver that keeps a channel per handle would. For tests
    // whose peers die mid-exchange, where one channel leaves every later
    // exchange an answer behind.
    bool answerPerHandle = false;
};

// A key is one request/response channel shared by every handle to it. It
// answers requests in arrival order, each answer on the handle whose request
// arrived last (the one that reads next): a client that asks while another
// client's answer is still owed takes that answer (or what is left of it)
// first, then its own. An answer whose asker's handle closed, with no request
// since, goes to whichever handle reads next, even one that asked nothing;
// the next request takes it otherwise. Silent requests are never answered.
// One request as the key received it: which connection sent it (a client
// handle, numbered from 1 in the order the key saw them open) and from which
// process, so that a test can tell whose requests came in between.
struct Request {
    uint64_t number = 0;      // 1 for the key's first request
    uint32_t connection = 0;
    uint32_t process = 0;     // 0 when the platform did not say
};
// How many of the latest requests the key remembers.
constexpr size_t kLogSize = 256;

struct Stats {
    uint64_t requests = 0;      // every request read, malformed ones included
    uint64_t malformed = 0;     // not exactly one write of A5 lenLE payload
    uint64_t interleaved = 0;   // requests arriving while an earlier exchange was unfinished: an
                                // answer still owed, or a silent request whose handle is still open
    uint64_t misdelivered = 0;  // answers (or their rest) delivered on a handle other than the asker's,
                                // to a client that had asked something itself
    uint64_t drained = 0;       // answers of a closed handle read by a client that had asked nothing
    uint32_t openHandles = 0;   // client handles the server currently knows of
    uint32_t processing = 0;    // answers the key has yet to start writing, while a handle will read them
    std::vector<uint8_t> lastRequest;
    std::vector<Request> log;   // the latest kLogSize requests, oldest first
};

class Key;

// Up to 16 opens in a burst succeed at once; the server thread makes more
// listeners as it sees connections, up to 63 instances per key.
//
// Plugs a key; nullptr when the serial is invalid or already plugged, or the
// platform refuses, and then `why` (if given) says which. The key is listed
// and openable when this returns.
Key *Plug(const KeyOptions &options, std::string *why = nullptr);
// Removes the key from the registry and the object namespace, ends its server
// and frees it. Open client handles break. Null is ignored.
void Unplug(Key *key);

std::string DevicePath(const Key *key);
// Takes effect from the next request.
void SetBehaviour(Key *key, const Behaviour &behaviour);
// Forgets every answer the key still owes, as unplugging it and plugging it
// back would, while open handles stay open: for tests that go on after an
// exchange was refused or given up with its answer unread. Returns once no
// client can read any of it.
void DropOwedAnswers(Key *key);
Stats GetStats(const Key *key);
// Stats of a key plugged by any process of the prefix; false when no such key
// is being served.
bool ReadStats(const std::string &serial, Stats *out, uint16_t vid = kDefaultVid, uint16_t pid = kDefaultPid);

// \\?\usb#vid_xxxx&pid_xxxx#<serial>#{guid}, lower case. Under Wine 8,
// SetupAPI reports a path of 260 characters or more as one rebuilt from the
// (shortened) instance id, and CreateFileA cannot open it.
std::string MakeDevicePath(const std::string &serial, uint16_t vid = kDefaultVid, uint16_t pid = kDefaultPid);
// A short name for a key, usable in kernel object names.
std::string KeyId(const std::string &serial, uint16_t vid = kDefaultVid, uint16_t pid = kDefaultPid);
// Byte i of a Length body answering `payload`: (i + payload[0]) mod 256, with
// payload[0] taken as 0 for an empty payload.
uint8_t PatternByte(const std::vector<uint8_t> &payload, size_t i);

// CreateProcessA for the tests and keysim's own background server. Under load
// Wine now and then loses a new process before any of its code runs (the
// start fails with ERROR_INTERNAL_ERROR, 1359): nothing of it is left, so it
// is started again, up to five times. The other arguments are CreateProcessA's.
bool StartProcess(std::string command, bool inheritHandles, unsigned long flags, void *startupInfo,
                  void *processInformation);

}  // namespace keysim
