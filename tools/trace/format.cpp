#include "format.h"

#include <cstring>

namespace olvextrace {

namespace {

constexpr uint32_t kPcapMagic = 0xA1B2C3D4;  // microsecond timestamps

void Put16(uint8_t *p, uint32_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}
void Put32(uint8_t *p, uint32_t v) {
    Put16(p, v);
    Put16(p + 2, v >> 16);
}
void Put64(uint8_t *p, uint64_t v) {
    Put32(p, uint32_t(v));
    Put32(p + 4, uint32_t(v >> 32));
}
uint32_t Get16(const uint8_t *p) { return uint32_t(p[0] | p[1] << 8); }
uint32_t Get32(const uint8_t *p) { return Get16(p) | Get16(p + 2) << 16; }
uint64_t Get64(const uint8_t *p) { return Get32(p) | uint64_t(Get32(p + 4)) << 32; }

uint32_t Min(uint32_t a, uint32_t b) { return a < b ? a : b; }

}  // namespace

void EncodeFileHeader(uint8_t out[kFileHeaderSize]) {
    Put32(out, kPcapMagic);
    Put16(out + 4, 2);  // version 2.4
    Put16(out + 6, 4);
    Put32(out + 8, 0);   // time zone: UTC
    Put32(out + 12, 0);  // accuracy
    Put32(out + 16, kSnapLength);
    Put32(out + 20, kLinkType);
}

bool CheckFileHeader(const uint8_t *data, size_t size, std::string *why) {
    uint8_t want[kFileHeaderSize];
    EncodeFileHeader(want);
    if (size < kFileHeaderSize) {
        *why = size ? "the file header is cut short" : "the file is empty";
        return false;
    }
    if (Get32(data) != kPcapMagic || Get16(data + 4) != 2) {
        *why = "not a little-endian pcap file with microsecond times";
        return false;
    }
    if (Get32(data + 20) != kLinkType) {
        *why = "link type " + std::to_string(Get32(data + 20)) + ", not " + std::to_string(kLinkType);
        return false;
    }
    return true;
}

size_t EncodedSize(const Record &r) {
    return kPacketHeaderSize + kRecordHeaderSize + r.pathLength + r.commandKept + r.responseKept;
}

void Encode(const Record &r, uint8_t *out) {
    const uint32_t length = uint32_t(EncodedSize(r) - kPacketHeaderSize);
    Put32(out, uint32_t(r.timeUs / 1000000));
    Put32(out + 4, uint32_t(r.timeUs % 1000000));
    Put32(out + 8, length);
    Put32(out + 12, length);
    uint8_t *h = out + kPacketHeaderSize;
    h[0] = kRecordVersion;
    h[1] = uint8_t(r.call);
    Put16(h + 2, kRecordHeaderSize);
    Put16(h + 4, r.flags);
    Put16(h + 6, r.pathLength);
    Put32(h + 8, uint32_t(r.result));
    Put32(h + 12, r.error);
    Put32(h + 16, r.processId);
    Put32(h + 20, r.threadId);
    Put32(h + 24, r.durationUs);
    Put32(h + 28, uint32_t(r.argument));
    Put64(h + 32, r.connection);
    Put32(h + 40, r.commandLength);
    Put32(h + 44, r.commandKept);
    Put32(h + 48, r.responseLength);
    Put32(h + 52, r.responseKept);
    // The frames may already lie where they go, or a little further on.
    uint8_t *p = h + kRecordHeaderSize;
    if (r.pathLength) std::memmove(p, r.path, r.pathLength);
    p += r.pathLength;
    if (r.commandKept) std::memmove(p, r.command, r.commandKept);
    p += r.commandKept;
    if (r.responseKept) std::memmove(p, r.response, r.responseKept);
}

bool Decode(const uint8_t *data, size_t size, Record *out, size_t *used, std::string *why) {
    if (size < kPacketHeaderSize) {
        *why = "the packet header is cut short (" + std::to_string(size) + " of 16 bytes)";
        return false;
    }
    const uint32_t included = Get32(data + 8);
    if (Get32(data + 12) != included) {
        *why = "a packet kept in part: this file was cut by another program";
        return false;
    }
    if (size - kPacketHeaderSize < included) {
        *why = "cut short: " + std::to_string(size - kPacketHeaderSize) + " of " + std::to_string(included) +
               " bytes";
        return false;
    }
    if (included < kRecordHeaderSize) {
        *why = "a record of " + std::to_string(included) + " bytes is shorter than its header";
        return false;
    }
    const uint8_t *h = data + kPacketHeaderSize;
    if (h[0] != kRecordVersion || Get16(h + 2) != kRecordHeaderSize) {
        *why = "record version " + std::to_string(h[0]) + " with a header of " + std::to_string(Get16(h + 2)) +
               " bytes is not one this build reads";
        return false;
    }
    if (h[1] < uint8_t(Call::EnumDev) || h[1] > uint8_t(Call::Disconnect)) {
        *why = "unknown call " + std::to_string(h[1]);
        return false;
    }
    Record r;
    r.timeUs = uint64_t(Get32(data)) * 1000000 + Get32(data + 4);
    r.call = Call(h[1]);
    r.flags = uint16_t(Get16(h + 4));
    r.pathLength = uint16_t(Get16(h + 6));
    r.result = int32_t(Get32(h + 8));
    r.error = Get32(h + 12);
    r.processId = Get32(h + 16);
    r.threadId = Get32(h + 20);
    r.durationUs = Get32(h + 24);
    r.argument = int32_t(Get32(h + 28));
    r.connection = Get64(h + 32);
    r.commandLength = Get32(h + 40);
    r.commandKept = Get32(h + 44);
    r.responseLength = Get32(h + 48);
    r.responseKept = Get32(h + 52);
    if (Get32(data + 4) >= 1000000) {
        *why = "microseconds " + std::to_string(Get32(data + 4)) + " out of range";
        return false;
    }
    if (r.pathLength > kMaxPath || r.commandKept > r.commandLength || r.responseKept > r.responseLength ||
        r.commandLength > kMaxCommandFrame || r.responseLength > kMaxResponseFrame) {
        *why = "its lengths are out of range";
        return false;
    }
    if (uint64_t(kRecordHeaderSize) + r.pathLength + r.commandKept + r.responseKept != included) {
        *why = "its lengths do not add up to its size";
        return false;
    }
    const uint8_t *p = h + kRecordHeaderSize;
    r.path = reinterpret_cast<const char *>(p);
    r.command = p + r.pathLength;
    r.response = r.command + r.commandKept;
    *out = r;
    *used = kPacketHeaderSize + included;
    return true;
}

bool CommandArgumentsValid(const void *command, int commandLength, const void *response, const void *responseLength) {
    return commandLength >= 0 && commandLength <= kMaxCommand && (command || commandLength == 0) && response &&
           responseLength;
}

void BuildCommandFrame(const uint8_t *command, int commandLength, uint8_t *frame) {
    frame[0] = 0xA5;
    Put16(frame + 1, uint32_t(commandLength));
    if (commandLength > 0) std::memcpy(frame + 3, command, size_t(commandLength));
}

void Redact(Record *r) {
    r->flags |= kRedacted;
    r->commandKept = Min(r->commandKept, kRedactedCommandKept);
    r->responseKept = Min(r->responseKept, kRedactedResponseKept);
}

bool ExpandTraceName(const wchar_t *pattern, uint32_t processId, wchar_t *out, size_t size) {
    const std::string pid = std::to_string(processId);
    size_t n = 0;
    for (const wchar_t *p = pattern; *p; ++p) {
        if (p[0] == L'%' && p[1] == L'p') {
            for (char c : pid) {
                if (n + 1 >= size) return false;
                out[n++] = wchar_t(c);
            }
            ++p;
        } else {
            if (n + 1 >= size) return false;
            out[n++] = *p;
        }
    }
    if (n >= size) return false;
    out[n] = 0;
    return true;
}

}  // namespace olvextrace
