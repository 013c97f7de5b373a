// The command frame builder: sizes accepted and refused, and that a built
// frame carries exactly its payload behind a header that counts it.
// Input: n (LE32, any int), then bytes repeated to fill an n-byte payload.
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
    int32_t n;
    std::memcpy(&n, data, 4);
    data += 4;
    size -= 4;
    // Mostly sizes near the edges of the accepted range, where mistakes live.
    if (size > 0 && data[0] & 1) n = int32_t(uint32_t(n) % 131072u) - 32768;

    const int frameSize = CommandFrameSize(n);
    Require((frameSize == -1) == (n < 0 || n > 65532));
    if (frameSize == -1) return 0;
    Require(frameSize == n + FRAME_HEADER_SIZE);

    // Exact-sized heap blocks, so a byte read or written past either is caught.
    uint8_t *payload = n ? static_cast<uint8_t *>(malloc(size_t(n))) : nullptr;
    for (int i = 0; i < n; ++i) payload[i] = size ? data[size_t(i) % size] : uint8_t(i);
    uint8_t *frame = static_cast<uint8_t *>(malloc(size_t(frameSize)));
    BuildCommandFrame(payload, n, frame);

    Require(frame[0] == FRAME_REQUEST_LEAD);
    Require(int(frame[1] | frame[2] << 8) == n);
    Require(n == 0 || std::memcmp(frame + FRAME_HEADER_SIZE, payload, size_t(n)) == 0);
    free(frame);
    free(payload);
    return 0;
}
