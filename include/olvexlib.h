/* Olvexlib: find the USB keys attached to this PC, open one, and exchange
 * framed commands with it. Exchanges with one key are serialised across every
 * thread and process.
 *
 * Typical use:
 *   int count;
 *   OLVEX_EnumDEV(&count);                    lists keys, oldest first
 *   OLVEX_Connect(&conn, path, 0);            opens key 0
 *   OLVEX_DoCommand(conn, cmd, n, body, &m);  any number of times
 *   OLVEX_Disconnect(conn);
 *
 * Threads and processes: OLVEX_DoCommand may be called from any number of
 * threads and processes at once, on one connection or several; exchanges with
 * one key are serialised by that key's lock, exchanges with different keys run
 * in parallel. The key list is process-wide and unguarded: never run
 * OLVEX_EnumDEV at the same time as another OLVEX_EnumDEV or an OLVEX_Connect.
 * Connections do not depend on the list once made.
 *
 * Interoperating programs: a key's lock is the named mutex whose name is the
 * key's device path written backwards with every backslash replaced by 'a'
 * (as long as the path; no Global\ or Local\ prefix). A program that holds
 * that mutex from before its write until it has read the whole response takes
 * part in the same serialisation. The library creates it, when absent, with an
 * access list open to every account and an inheritable handle.
 *
 * Why a call failed: after OLVEX_FAIL or OLVEX_ERR_OPEN, GetLastError() on the
 * calling thread names the cause (on success it is unspecified, as with Win32):
 *   ERROR_INVALID_PARAMETER (87)  a null count or connection out-pointer; an
 *                                 index outside the last listing; a command
 *                                 length below 0 or above OLVEX_MAX_COMMAND;
 *                                 a null command with a length above 0; a
 *                                 null response or responseLength
 *   ERROR_INVALID_HANDLE (6)      OLVEX_DoCommand or OLVEX_Disconnect on
 *                                 something that is not an open connection
 *   ERROR_INVALID_DATA (13)       the key's answer was refused: wrong lead
 *                                 byte, under 5 bytes, longer than the
 *                                 response buffer (its rest is read and
 *                                 dropped before the lock is released), or a
 *                                 long answer cut short
 *   ERROR_NOT_ENOUGH_MEMORY (8)   an allocation failed
 *   ERROR_OPERATION_ABORTED (995) the exchange was cancelled (see below)
 *   anything else                 the platform's own code from the call that
 *                                 failed: listing the keys, opening the key
 *                                 (with OLVEX_ERR_OPEN; e.g. 2 for a key
 *                                 unplugged since the listing), opening or
 *                                 creating its lock, waiting for it, writing
 *                                 or reading
 *
 * Giving up on a key that does not answer: the reads wait without time limit,
 * but another thread may end them with CancelSynchronousIo(thread), where
 * thread is a handle to the thread inside OLVEX_DoCommand. The call then
 * returns OLVEX_FAIL with ERROR_OPERATION_ABORTED, the key's lock is released,
 * response and responseLength are untouched and the connection stays usable.
 *   - A cancel that lands before the read has started is lost: repeat it
 *     until the call returns.
 *   - The wait for the key's lock cannot be cancelled: while another program
 *     holds the lock, the call waits for it.
 *   - Nothing is drained, and a key is one request/response channel: an
 *     answer that comes late is read by the next exchange with that key, on
 *     any connection, in any process. Reconnecting does not help.
 * A program that dies in the middle of an exchange leaves the key's lock
 * abandoned and its answer owed. The exchange that next takes the lock over
 * first reads and drops whatever the key still owes (one frame, or the rest
 * of a long one), on a second handle it opens to the key by its path, for up
 * to 2 s: that one exchange may take up to 2 s longer (the whole 2 s when
 * nothing was owed); every other exchange costs nothing more. When the second
 * handle cannot be opened, the exchange goes on without draining, and may
 * then receive the dead program's answer. A program that takes the lock by
 * hand and finds it abandoned must drain as well before it sends (in C++:
 * olvex::discard_owed). Left open: a program that dies while no other program
 * has the key open takes the lock with it, and the next one cannot tell.
 * A time limit that never hands a late answer to anyone is in olvexlib.hpp
 * (connection::exchange with a timeout) and, for callers that cannot include
 * C++, in Olvexkit.dll (olvexkit.h): it keeps the key's lock on a thread of
 * the connection's own until the late answer has been read and dropped.
 */
#ifndef OLVEXLIB_H
#define OLVEXLIB_H

#ifdef __cplusplus
extern "C" {
#endif

/* The exports use the stdcall convention on 32-bit Windows; on x64 there is
 * a single convention and the macro is empty. */
#if defined(_WIN32) && !defined(_WIN64)
#define OLVEX_API __stdcall
#else
#define OLVEX_API
#endif

/* Result codes. OLVEX_DoCommand returns the key's status word (0..65535)
 * in place of OLVEX_OK. */
#define OLVEX_OK        0
#define OLVEX_FAIL      (-1)
#define OLVEX_ERR_OPEN  0x10001 /* OLVEX_Connect only: the key cannot be opened */

/* A device path fills at most this many bytes, its terminator included. */
#define OLVEX_PATH_SIZE 260
/* The longest response body a command can bring back. */
#define OLVEX_MAX_RESPONSE_BODY 51195
/* The longest command payload. */
#define OLVEX_MAX_COMMAND 65532

/* An open connection to one key; opaque to the caller. */
typedef struct OLVEX_Connection *OLVEX_HANDLE;

/* Rebuilds the process-wide list of attached keys, ordered by attach time
 * (index 0 was attached first; at most 10 are kept, the earliest), and
 * stores their number through count. Returns OLVEX_OK, or OLVEX_FAIL when the
 * platform gives no device list or count is null (count is then unwritten).
 * Keys that cannot be opened or dated are left out; that is not a failure.
 * Never run it at the same time as another OLVEX_EnumDEV or OLVEX_Connect. */
int OLVEX_API OLVEX_EnumDEV(int *count);

/* Opens key `index` (0 <= index < count of the last OLVEX_EnumDEV) and stores
 * a new handle through connection. When pathOut is not null, the key's device
 * path is copied into it WITHOUT a terminator: pass a zero-filled buffer of
 * OLVEX_PATH_SIZE bytes to get a string. Returns OLVEX_OK, OLVEX_ERR_OPEN when
 * the key cannot be opened (e.g. unplugged since enumeration), or OLVEX_FAIL
 * (bad index, null connection, no lock, no memory). */
int OLVEX_API OLVEX_Connect(OLVEX_HANDLE *connection, char *pathOut, int index);

/* Sends one command payload (0..OLVEX_MAX_COMMAND bytes) and waits, without
 * time limit, for the key's response. Holds the key's lock for the whole
 * exchange, so exchanges with one key from any thread or process never
 * interleave. On success copies the response body into `response` (the caller
 * provides room for the longest body the command can bring, at most
 * OLVEX_MAX_RESPONSE_BODY bytes), stores its length through responseLength and
 * returns the key's status word (0..65535; 0xFFFF is 65535, not a failure).
 * Returns OLVEX_FAIL on any failure; response and responseLength are then
 * untouched. After a failed exchange the key may still hold part of its
 * answer, and the next exchange on that key may receive it; not after an
 * answer refused for being longer than the response buffer, whose rest is
 * read and dropped. The first exchange after a program died holding the lock
 * first drops what it was owed (see above), for up to 2 s. The reads can be
 * cancelled from another thread (see "Giving up on a key" above). */
int OLVEX_API OLVEX_DoCommand(OLVEX_HANDLE connection,
                                           const unsigned char *command, int commandLength,
                                           unsigned char *response, int *responseLength);

/* Closes a connection. Returns OLVEX_OK (also for a null handle) or
 * OLVEX_FAIL when the handle is not a connection of this library. Never call
 * it while another call on the same connection is running, and never use the
 * handle afterwards. */
int OLVEX_API OLVEX_Disconnect(OLVEX_HANDLE connection);

#ifdef __cplusplus
}
#endif

#endif /* OLVEXLIB_H */
