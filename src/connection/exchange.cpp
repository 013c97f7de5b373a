#include <windows.h>

#include <cstring>

#include "connection/frames.h"
#include "connection/key_connection.h"

using namespace olvex;

namespace {

// One exchange under the lock, already held. Returns the status word or -1.
int Exchange(const KeyConnection *c, const uint8_t *frame, DWORD frameSize, uint8_t *buffer,
             unsigned char *response, int *responseLength) {
    DWORD transferred;
    if (!WriteFile(c->device, frame, frameSize, &transferred, nullptr)) return OLVEX_FAIL;

    DWORD got;
    if (!ReadFile(c->device, buffer, FIRST_READ_SIZE, &got, nullptr)) return OLVEX_FAIL;
    const int32_t remainder = CheckFirstRead(buffer, got);
    if (remainder == RESPONSE_REFUSED) return OLVEX_FAIL;
    DWORD secondGot = 0;
    if (remainder > 0 && !ReadFile(c->device, buffer + FIRST_READ_SIZE, DWORD(remainder), &secondGot, nullptr)) {
        return OLVEX_FAIL;
    }

    ParsedResponse parsed;
    if (!ParseResponse(buffer, got, secondGot, &parsed)) return OLVEX_FAIL;
    std::memcpy(response, buffer + FRAME_HEADER_SIZE, size_t(parsed.bodyLength));
    *responseLength = parsed.bodyLength;
    return parsed.statusWord;
}

}  // namespace

extern "C" int OLVEX_API OLVEX_DoCommand(OLVEX_HANDLE connection, const unsigned char *command, int commandLength,
                                         unsigned char *response, int *responseLength) {
    if (!IsOpenConnection(connection)) return OLVEX_FAIL;
    const int frameSize = CommandFrameSize(commandLength);
    if (frameSize < 0 || (!command && commandLength > 0) || !response || !responseLength) return OLVEX_FAIL;

    // The response buffer belongs to this call alone; the frame shares its
    // allocation. Both are ready before the lock is taken so that the lock is
    // held only for the I/O.
    auto *buffer = static_cast<uint8_t *>(HeapAlloc(GetProcessHeap(), 0, RESPONSE_BUFFER_SIZE + size_t(frameSize)));
    if (!buffer) return OLVEX_FAIL;
    uint8_t *frame = buffer + RESPONSE_BUFFER_SIZE;
    BuildCommandFrame(command, commandLength, frame);

    int result = OLVEX_FAIL;
    const DWORD wait = WaitForSingleObject(connection->lock, INFINITE);
    // An abandoned lock is ours as much as a released one.
    if (wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED) {
        result = Exchange(connection, frame, DWORD(frameSize), buffer, response, responseLength);
        ReleaseMutex(connection->lock);
    }
    HeapFree(GetProcessHeap(), 0, buffer);
    return result;
}
