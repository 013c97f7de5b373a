#include <windows.h>

#include <cstring>

#include "connection/frames.h"
#include "connection/key_connection.h"

using namespace olvex;

namespace {

// Reads and drops what the key still owes for an answer this exchange refused,
// so that no later exchange receives it. Without room for it, it stays owed.
void DiscardOwed(const KeyConnection *c, uint32_t owed) {
    if (owed == 0) return;
    void *scratch = HeapAlloc(GetProcessHeap(), 0, owed);
    if (!scratch) return;
    DWORD got;
    ReadFile(c->device, scratch, owed, &got, nullptr);
    HeapFree(GetProcessHeap(), 0, scratch);
}

// One exchange under the lock, already held. Returns the status word, or -1
// with the cause in *error (read before any cleanup call can overwrite it).
int Exchange(const KeyConnection *c, const uint8_t *frame, DWORD frameSize, uint8_t *buffer,
             unsigned char *response, int *responseLength, DWORD *error) {
    DWORD transferred;
    if (!WriteFile(c->device, frame, frameSize, &transferred, nullptr)) {
        *error = GetLastError();
        return OLVEX_FAIL;
    }

    DWORD got;
    if (!ReadFile(c->device, buffer, FIRST_READ_SIZE, &got, nullptr)) {
        *error = GetLastError();
        return OLVEX_FAIL;
    }
    const int32_t remainder = CheckFirstRead(buffer, got);
    if (remainder == RESPONSE_REFUSED) {
        DiscardOwed(c, RefusedRemainder(buffer, got));
        *error = ERROR_INVALID_DATA;
        return OLVEX_FAIL;
    }
    DWORD secondGot = 0;
    if (remainder > 0 && !ReadFile(c->device, buffer + FIRST_READ_SIZE, DWORD(remainder), &secondGot, nullptr)) {
        *error = GetLastError();
        return OLVEX_FAIL;
    }

    ParsedResponse parsed;
    if (!ParseResponse(buffer, got, secondGot, &parsed)) {
        *error = ERROR_INVALID_DATA;
        return OLVEX_FAIL;
    }
    std::memcpy(response, buffer + FRAME_HEADER_SIZE, size_t(parsed.bodyLength));
    *responseLength = parsed.bodyLength;
    return parsed.statusWord;
}

int Fail(DWORD error) {
    SetLastError(error);
    return OLVEX_FAIL;
}

}  // namespace

extern "C" int OLVEX_API OLVEX_DoCommand(OLVEX_HANDLE connection, const unsigned char *command, int commandLength,
                                         unsigned char *response, int *responseLength) {
    if (!IsOpenConnection(connection)) return Fail(ERROR_INVALID_HANDLE);
    const int frameSize = CommandFrameSize(commandLength);
    if (frameSize < 0 || (!command && commandLength > 0) || !response || !responseLength) {
        return Fail(ERROR_INVALID_PARAMETER);
    }

    // The response buffer belongs to this call alone; the frame shares its
    // allocation. Both are ready before the lock is taken so that the lock is
    // held only for the I/O.
    auto *buffer = static_cast<uint8_t *>(HeapAlloc(GetProcessHeap(), 0, RESPONSE_BUFFER_SIZE + size_t(frameSize)));
    if (!buffer) return Fail(ERROR_NOT_ENOUGH_MEMORY);
    uint8_t *frame = buffer + RESPONSE_BUFFER_SIZE;
    BuildCommandFrame(command, commandLength, frame);

    int result = OLVEX_FAIL;
    DWORD error = ERROR_SUCCESS;
    // Not cancellable: CancelSynchronousIo reaches only the reads and the write.
    const DWORD wait = WaitForSingleObject(connection->lock, INFINITE);
    // An abandoned lock is ours as much as a released one.
    if (wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED) {
        result = Exchange(connection, frame, DWORD(frameSize), buffer, response, responseLength, &error);
        ReleaseMutex(connection->lock);
    } else {
        error = GetLastError();
    }
    HeapFree(GetProcessHeap(), 0, buffer);
    if (result == OLVEX_FAIL) SetLastError(error);
    return result;
}
