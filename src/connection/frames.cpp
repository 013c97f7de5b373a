#include "connection/frames.h"

#include <cstring>

namespace olvex {

int CommandFrameSize(int n) {
    if (n < 0 || n > MAX_COMMAND_LENGTH) return -1;
    return n + FRAME_HEADER_SIZE;
}

void BuildCommandFrame(const uint8_t *payload, int n, uint8_t *frame) {
    frame[0] = FRAME_REQUEST_LEAD;
    frame[1] = uint8_t(n & 0xFF);
    frame[2] = uint8_t((n >> 8) & 0xFF);
    if (n > 0) std::memcpy(frame + FRAME_HEADER_SIZE, payload, size_t(n));
}

uint32_t DataLength(const uint8_t *buffer) {
    return uint32_t(buffer[1]) | (uint32_t(buffer[2]) << 8);
}

uint32_t ResponseRemainder(const uint8_t *buffer) {
    const uint32_t length = DataLength(buffer);
    return length <= uint32_t(SHORT_DATA_LIMIT) ? 0 : length - SHORT_DATA_LIMIT;
}

int32_t CheckFirstRead(const uint8_t *buffer, uint32_t got) {
    if (got < uint32_t(MIN_RESPONSE_SIZE) || got > uint32_t(FIRST_READ_SIZE)) return RESPONSE_REFUSED;
    if (buffer[0] != FRAME_RESPONSE_LEAD) return RESPONSE_REFUSED;
    const uint32_t remainder = ResponseRemainder(buffer);
    if (remainder == 0) return 0;
    if (DataLength(buffer) > uint32_t(MAX_DATA_LENGTH)) return RESPONSE_REFUSED;
    if (got != uint32_t(FIRST_READ_SIZE)) return RESPONSE_REFUSED;
    return int32_t(remainder);
}

uint32_t RefusedRemainder(const uint8_t *buffer, uint32_t got) {
    if (got != uint32_t(FIRST_READ_SIZE) || buffer[0] != FRAME_RESPONSE_LEAD) return 0;
    const uint32_t length = DataLength(buffer);
    return length > uint32_t(MAX_DATA_LENGTH) ? length - SHORT_DATA_LIMIT : 0;
}

uint32_t StillToCome(const uint8_t *read, uint32_t got) {
    if (got < uint32_t(FRAME_HEADER_SIZE) || read[0] != FRAME_RESPONSE_LEAD) return 0;
    const uint32_t whole = uint32_t(FRAME_HEADER_SIZE) + DataLength(read);
    if (DataLength(read) <= uint32_t(SHORT_DATA_LIMIT) || got >= whole) return 0;
    return whole - got;
}

bool ParseResponse(const uint8_t *buffer, uint32_t got, uint32_t secondGot, ParsedResponse *out) {
    const int32_t remainder = CheckFirstRead(buffer, got);
    if (remainder == RESPONSE_REFUSED) return false;
    uint32_t dataLength;
    if (remainder == 0) {
        dataLength = got - FRAME_HEADER_SIZE;  // the bytes received decide, not the header
    } else {
        if (secondGot != uint32_t(remainder)) return false;
        dataLength = DataLength(buffer);
    }
    const uint8_t *status = buffer + FRAME_HEADER_SIZE + dataLength - 2;
    out->bodyLength = int32_t(dataLength - 2);
    out->statusWord = (int32_t(status[0]) << 8) | status[1];
    return true;
}

}  // namespace olvex
