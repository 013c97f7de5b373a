// The trace file: a classic pcap file (link type USER0) whose packets are
// records of calls to the library, one per call. Pure byte handling, shared by
// the tracer, replay and `olvex trace`, and tested natively. docs/trace.md
// describes the layout.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace olvextrace {

constexpr uint32_t kLinkType = 147;  // LINKTYPE_USER0
constexpr uint32_t kSnapLength = 262144;
constexpr size_t kFileHeaderSize = 24;
constexpr size_t kPacketHeaderSize = 16;
constexpr size_t kRecordHeaderSize = 56;
constexpr uint8_t kRecordVersion = 1;
constexpr size_t kMaxPath = 260;
// What the library reads of an answer at most, and the largest command frame.
constexpr uint32_t kMaxResponseFrame = 51200;
constexpr uint32_t kMaxCommandFrame = 65535;
constexpr int kMaxCommand = 65532;
// What OLVEX_TRACE_REDACT keeps: a command frame's header and the first four
// payload bytes (class, instruction, parameters), a response frame's header.
constexpr uint32_t kRedactedCommandKept = 3 + 4;
constexpr uint32_t kRedactedResponseKept = 3;

enum class Call : uint8_t { EnumDev = 1, Connect = 2, DoCommand = 3, Disconnect = 4 };

enum Flag : uint16_t {
    kRedacted = 1,          // frames cut to what OLVEX_TRACE_REDACT keeps
    kArgumentsRefused = 2,  // a null out-pointer, or OLVEX_DoCommand's arguments invalid: nothing was done
};

// One call. The byte ranges point into memory the record does not own.
struct Record {
    Call call = Call::EnumDev;
    uint16_t flags = 0;
    int32_t result = 0;
    uint32_t error = 0;  // the calling thread's last error after the call
    uint32_t processId = 0, threadId = 0;
    uint32_t durationUs = 0;
    // EnumDEV: the count stored (0 when none was); Connect: the index;
    // DoCommand: the command length as passed.
    int32_t argument = 0;
    uint64_t connection = 0;  // the handle made or used
    uint64_t timeUs = 0;      // when the call began: microseconds since 1970 (UTC)
    const char *path = nullptr;  // the key's device path, or empty
    uint16_t pathLength = 0;
    // Frames as on the wire; only the first `kept` bytes are in the record.
    const uint8_t *command = nullptr;
    uint32_t commandLength = 0, commandKept = 0;
    const uint8_t *response = nullptr;
    uint32_t responseLength = 0, responseKept = 0;
};

// The pcap file header for microsecond timestamps and kLinkType.
void EncodeFileHeader(uint8_t out[kFileHeaderSize]);
// False, with a reason, unless `data` starts with a file header this module writes.
bool CheckFileHeader(const uint8_t *data, size_t size, std::string *why);

// Bytes Encode writes for `r`: the pcap packet header, the record header, the
// path and the kept bytes of both frames. The frames may already be in `out`,
// where Encode puts them or later.
size_t EncodedSize(const Record &r);
void Encode(const Record &r, uint8_t *out);

// Decodes the packet at `data`; its byte ranges point into `data`. False with
// a reason when it is cut short or inconsistent; *used is the packet's size.
bool Decode(const uint8_t *data, size_t size, Record *out, size_t *used, std::string *why);

// Walks a whole file. `each` gets every whole record with its number (1 for
// the first, as Wireshark counts) and returns false to stop. Returns the
// number of records read; on a bad file header or record, *bad is its number
// (0 for the file header) and *why the reason, else *bad is -1.
template <class Each>
int ForEachRecord(const uint8_t *data, size_t size, Each each, int *bad, std::string *why) {
    *bad = 0;
    if (!CheckFileHeader(data, size, why)) return 0;
    int n = 0;
    for (size_t at = kFileHeaderSize; at < size;) {
        Record r;
        size_t used = 0;
        if (!Decode(data + at, size - at, &r, &used, why)) {
            *bad = n + 1;
            return n;
        }
        at += used;
        ++n;
        if (!each(r, n)) break;
    }
    *bad = -1;
    return n;
}

// Whether OLVEX_DoCommand accepts these arguments, by the library's own rules.
bool CommandArgumentsValid(const void *command, int commandLength, const void *response, const void *responseLength);
// A5 lenLE16 payload, into `frame` (commandLength + 3 bytes).
void BuildCommandFrame(const uint8_t *command, int commandLength, uint8_t *frame);
// Cuts the frames to what OLVEX_TRACE_REDACT keeps, and marks the record.
void Redact(Record *r);

// `pattern` with every "%p" made the process id; false when it does not fit
// in `size` bytes with its terminator.
bool ExpandTraceName(const wchar_t *pattern, uint32_t processId, wchar_t *out, size_t size);

}  // namespace olvextrace
