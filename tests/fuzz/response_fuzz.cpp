// Response sizing and parsing against arbitrary key output.
// Input: got (LE16), secondGot (LE16), then the bytes the key sent; bytes the
// input does not supply read as zero, so short inputs still reach long frames.
// Bytes never received are poisoned: reading one is a bug ASan reports.
#include <sanitizer/asan_interface.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "connection/frames.h"

using namespace olvex;

namespace {
void Require(bool condition) {
    if (!condition) abort();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 4) return 0;
    // A first read asks for FIRST_READ_SIZE bytes and a pipe may hand back fewer,
    // or (to prove the check) more; the second read can bring anything up to its request.
    const uint32_t got = uint32_t(data[0] | data[1] << 8) % (FIRST_READ_SIZE + 16);
    const uint32_t secondGot = uint32_t(data[2] | data[3] << 8);
    data += 4;
    size -= 4;

    std::vector<uint8_t> storage(RESPONSE_BUFFER_SIZE + 64, 0);
    uint8_t *buffer = storage.data();
    const uint32_t firstEnd = got;
    const uint32_t secondEnd = FIRST_READ_SIZE + secondGot;
    for (uint32_t i = 0; i < storage.size() && i < size; ++i) buffer[i] = data[i];

    // Header bytes are always readable in the DLL's buffer; only the body and
    // status must come from what was received.
    auto received = [&](uint32_t at) {
        return at < firstEnd || (at >= uint32_t(FIRST_READ_SIZE) && at < secondEnd);
    };
    const bool poison = got >= uint32_t(FRAME_HEADER_SIZE);
    if (poison && firstEnd < uint32_t(FIRST_READ_SIZE))
        ASAN_POISON_MEMORY_REGION(buffer + firstEnd, FIRST_READ_SIZE - firstEnd);
    if (poison && secondEnd < storage.size())
        ASAN_POISON_MEMORY_REGION(buffer + secondEnd, storage.size() - secondEnd);

    const int32_t remainder = CheckFirstRead(buffer, got);
    ParsedResponse parsed{-7, -7};
    const bool ok = ParseResponse(buffer, got, secondGot, &parsed);

    if (remainder != RESPONSE_REFUSED) {
        Require(got >= uint32_t(MIN_RESPONSE_SIZE) && got <= uint32_t(FIRST_READ_SIZE));
        Require(buffer[0] == FRAME_RESPONSE_LEAD);
        Require(remainder >= 0 && remainder <= MAX_DATA_LENGTH - SHORT_DATA_LIMIT);
        Require(uint32_t(remainder) == ResponseRemainder(buffer));
        // The whole frame must fit the response buffer of the DLL.
        if (remainder > 0) Require(got == uint32_t(FIRST_READ_SIZE) && FIRST_READ_SIZE + remainder <= RESPONSE_BUFFER_SIZE);
    }
    // What a refusal leaves owed is the one further read the framing promises,
    // of a frame too long for the buffer, and nothing for any other refusal.
    const uint32_t owed = RefusedRemainder(buffer, got);
    if (remainder != RESPONSE_REFUSED) Require(owed == 0);
    if (owed) {
        Require(got == uint32_t(FIRST_READ_SIZE) && buffer[0] == FRAME_RESPONSE_LEAD);
        Require(DataLength(buffer) > uint32_t(MAX_DATA_LENGTH) && owed == DataLength(buffer) - SHORT_DATA_LIMIT);
    }

    // The two functions judge the first read alike; the second read decides the rest.
    if (remainder == RESPONSE_REFUSED) Require(!ok);
    else if (remainder == 0) Require(ok);
    else Require(ok == (secondGot == uint32_t(remainder)));

    if (ok) {
        Require(parsed.bodyLength >= 0 && parsed.bodyLength <= MAX_DATA_LENGTH - 2);
        Require(parsed.statusWord >= 0 && parsed.statusWord <= 0xFFFF);
        const uint32_t end = uint32_t(FRAME_HEADER_SIZE + parsed.bodyLength + 2);
        for (uint32_t at = FRAME_HEADER_SIZE; at < end; ++at) Require(received(at));
        if (remainder == 0) Require(end == got);  // the bytes received decide a short frame's length
        else Require(end == secondEnd);
    }
    if (poison) ASAN_UNPOISON_MEMORY_REGION(buffer, storage.size());
    return 0;
}
