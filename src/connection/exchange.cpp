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

// How long the first exchange after a holder died waits for what the key
// still owed that holder: the grace the C++ header gives a closing connection.
constexpr DWORD ABANDON_GRACE_MS = 2000;
// Room for the largest frame a key can send, whatever part of it is owed.
constexpr DWORD OWED_FRAME_SIZE = FRAME_HEADER_SIZE + 0xFFFF;

// One overlapped read of up to `size` bytes, given up at `until`: the bytes it
// brought, 0 for none. A message bigger than `size` counts as filling it.
DWORD ReadUntil(HANDLE key, HANDLE ready, uint8_t *into, DWORD size, ULONGLONG until) {
    OVERLAPPED overlapped = {};
    overlapped.hEvent = ready;
    DWORD got = 0;
    if (ReadFile(key, into, size, &got, &overlapped)) return got;
    if (GetLastError() == ERROR_MORE_DATA) return size;
    if (GetLastError() != ERROR_IO_PENDING) return 0;
    const ULONGLONG now = GetTickCount64();
    if (WaitForSingleObject(ready, now < until ? DWORD(until - now) : 0) != WAIT_OBJECT_0) CancelIoEx(key, &overlapped);
    if (GetOverlappedResult(key, &overlapped, &got, TRUE)) return got;
    return GetLastError() == ERROR_MORE_DATA ? size : 0;
}

// The lock's last holder died holding it, maybe with an answer still owed to
// it: a key is one channel, and that answer would go to the next reader. It
// is read here, on a handle of this call's own (overlapped, so that the wait
// for it ends at the grace; the connection's own handle is synchronous), and
// dropped: one frame, or the rest of a long frame whose start the dead holder
// read. Without the handle, the event or the room, the exchange goes on as if
// nothing were owed.
void DrainAbandoned(const KeyConnection *c) {
    const ULONGLONG until = GetTickCount64() + ABANDON_GRACE_MS;
    // Right after its holder died the key may still be tearing down the dead
    // program's handles and refuse a new one as busy: that is no reason to
    // leave its answer owed, so the open is tried again within the grace.
    HANDLE key;
    while ((key = CreateFileA(c->path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr)) == INVALID_HANDLE_VALUE &&
           GetLastError() == ERROR_PIPE_BUSY && GetTickCount64() < until) {
        Sleep(1);
    }
    if (key == INVALID_HANDLE_VALUE) return;
    HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    auto *frame = static_cast<uint8_t *>(HeapAlloc(GetProcessHeap(), 0, OWED_FRAME_SIZE));
    if (ready && frame) {
        uint32_t got = ReadUntil(key, ready, frame, OWED_FRAME_SIZE, until);
        for (uint32_t more; (more = StillToCome(frame, got)) > 0;) {
            const DWORD part = ReadUntil(key, ready, frame + got, more, until);
            if (part == 0) break;
            got += part;
        }
    }
    if (frame) HeapFree(GetProcessHeap(), 0, frame);
    if (ready) CloseHandle(ready);
    CloseHandle(key);
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
    // An abandoned lock is ours as much as a released one, once what its
    // dead holder was owed is gone.
    if (wait == WAIT_ABANDONED) DrainAbandoned(connection);
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
