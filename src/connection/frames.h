// The key's wire format: command frames out, response frames back.
#pragma once
#include <cstdint>

namespace olvex {

constexpr uint8_t FRAME_REQUEST_LEAD = 0xA5;
constexpr uint8_t FRAME_RESPONSE_LEAD = 0x5A;
constexpr int FRAME_HEADER_SIZE = 3;
constexpr int MAX_COMMAND_LENGTH = 0xFFFF - FRAME_HEADER_SIZE;  // frame size is a 16-bit count
constexpr int FIRST_READ_SIZE = 256;
constexpr int RESPONSE_BUFFER_SIZE = 51200;
constexpr int MAX_DATA_LENGTH = RESPONSE_BUFFER_SIZE - FRAME_HEADER_SIZE;  // 51,197
constexpr int SHORT_DATA_LIMIT = FIRST_READ_SIZE - FRAME_HEADER_SIZE;       // 253
constexpr int MIN_RESPONSE_SIZE = FRAME_HEADER_SIZE + 2;                    // header + status word

// Bytes in the frame for a payload of n bytes, or -1 when n is outside 0..65,532.
int CommandFrameSize(int n);

// Writes the n + 3 bytes of the frame; n must be accepted by CommandFrameSize.
void BuildCommandFrame(const uint8_t *payload, int n, uint8_t *frame);

// L, the data length in a response header.
uint32_t DataLength(const uint8_t *buffer);

// Bytes still to read after the first read: 0 when L <= 253, L - 253 otherwise.
uint32_t ResponseRemainder(const uint8_t *buffer);

constexpr int32_t RESPONSE_REFUSED = -1;

// Judges the first read of `got` bytes: the number of bytes the second read must
// bring (0 for none), or RESPONSE_REFUSED for a wrong lead byte, fewer than 5
// bytes, L beyond the response buffer, or a long frame cut short.
int32_t CheckFirstRead(const uint8_t *buffer, uint32_t got);

// Bytes the key still owes after a first read that CheckFirstRead refused:
// L - 253 when it was the whole first part (256 bytes, lead byte 5A) of a
// frame too long for the response buffer, since the framing promises exactly
// one more read of that size; 0 for any other first read, whose header says
// nothing that can be trusted.
uint32_t RefusedRemainder(const uint8_t *buffer, uint32_t got);

// Bytes of an owed frame still to come after `got` bytes of it were read from
// its start (a drain, which asks each read for as much as a frame can hold).
// A long frame (L >= 254) is owed until its 3 + L bytes have come; a short
// one comes whole in one read, so what came is all. What does not begin with
// a whole header of a response is the rest of a frame whose start was read
// by another, taken whole in that read: nothing follows it.
uint32_t StillToCome(const uint8_t *read, uint32_t got);

struct ParsedResponse {
    int32_t bodyLength;   // body is at offset 3
    int32_t statusWord;   // 0..65535
};

// Takes apart a response of which the first read brought `got` bytes and the
// second (if any) `secondGot`. False when the response is refused; then the
// body and status word would include bytes this exchange never received.
bool ParseResponse(const uint8_t *buffer, uint32_t got, uint32_t secondGot, ParsedResponse *out);

}  // namespace olvex
