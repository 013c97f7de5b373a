/* Olvexkit.dll: the connections and time limits of olvexlib.hpp, for callers
 * that cannot include a C++ header (the .NET and Node.js bindings, C). It is
 * olvexlib.hpp compiled once per architecture, on Olvexlib.dll's four exports:
 * every layer gives up on a key, cancels and closes the same way.
 *
 * Every call returns 0 or a Windows error code (also left as the thread's last
 * error), so that a caller on another thread (an asynchronous call) needs no
 * GetLastError of its own.
 *
 * Time limits. OLVEXKIT_Exchange with timeoutMs = OLVEXKIT_NO_TIMEOUT is
 * the exchange on the calling thread. Any other limit (1 to
 * OLVEXKIT_MAX_TIMEOUT ms; 0 is ERROR_INVALID_PARAMETER) covers the whole
 * call, from the caller's call: waiting for the key's lock, sending, and the
 * answer.
 *   WAIT_TIMEOUT (258)     the lock was not had within the limit: nothing
 *                          was sent.
 *   ERROR_TIMEOUT (1460)   the command was sent but no answer came in time.
 *                          The connection's own thread keeps the key's lock
 *                          and reads the late answer, which it discards: no
 *                          exchange anywhere ever receives it. A later
 *                          exchange on this connection waits for that,
 *                          within its own limit.
 *   ERROR_OPERATION_ABORTED (995)
 *                          OLVEXKIT_CancelCall, OLVEXKIT_Cancel or a close
 *                          ended the call. As with a time limit, an answer
 *                          the key still owes is read and discarded by the
 *                          connection.
 * Asynchronous calls: OLVEXKIT_Start returns at once with the call's id, and
 * the callback reports the outcome later, on a thread of the system's pool,
 * so that no thread of the caller's waits on a key. OLVEXKIT_CancelCall ends
 * that call alone; a call that has finished can no longer be cancelled.
 * Closing ends the calls still waiting or running (995), waits up to graceMs
 * for an answer the key still owes, then cancels the read and releases the
 * lock. A runtime's exit hook calls OLVEXKIT_CloseAll, which does that for
 * every connection at once. An exchange that finds the key's lock abandoned
 * (a program died mid-exchange) first reads and drops what the key still
 * owed it, for up to OLVEXKIT_CLOSE_GRACE_MS.
 */
#ifndef OLVEXKIT_H
#define OLVEXKIT_H

#include "olvexlib.h"

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32) && !defined(_WIN64)
#define OLVEXKIT_API __stdcall
#else
#define OLVEXKIT_API
#endif

#ifndef OLVEXKIT_EXPORT
#define OLVEXKIT_EXPORT __declspec(dllimport)
#endif

/* The version of this interface, as major << 16 | minor << 8 | patch; the
 * loaded Olvexkit.dll reports its own through OLVEXKIT_Version. */
#define OLVEXKIT_VERSION 0x010004u
#define OLVEXKIT_VERSION_STRING "1.0.4"

#define OLVEXKIT_NO_TIMEOUT 0xFFFFFFFFu
#define OLVEXKIT_MAX_TIMEOUT 0xFFFFFFFEu
/* The grace close gives a key's late answer, when the caller has no view. */
#define OLVEXKIT_CLOSE_GRACE_MS 2000u
/* A device path and its terminator. */
#define OLVEXKIT_PATH_BUFFER 264

typedef struct OLVEXKIT_Key *OLVEXKIT_KEY;

/* Lists the keys anew (OLVEX_EnumDEV) and stores their number: under the
 * same lock as the kit's own listings (a watcher's among them), which a
 * direct OLVEX_EnumDEV would race with. */
OLVEXKIT_EXPORT unsigned long OLVEXKIT_API OLVEXKIT_KeyCount(int *count);

/* Opens key `index` of the last listing (OLVEXKIT_KeyCount; with no listing
 * yet in this process, of one made now: index 0 is the oldest key); its
 * device path goes to pathOut (OLVEXKIT_PATH_BUFFER bytes, zero-terminated)
 * when not NULL. An index outside the listing is ERROR_INVALID_PARAMETER.
 * OLVEX_Connect's failures, by their cause (e.g. 2 for a key unplugged since
 * the listing). */
OLVEXKIT_EXPORT unsigned long OLVEXKIT_API OLVEXKIT_Open(OLVEXKIT_KEY *key, int index, char *pathOut);

/* One exchange: the status word through `status`, the body into `response`
 * (room for OLVEX_MAX_RESPONSE_BODY bytes) and its length through
 * `responseLength`. Nothing is written on failure. Any number of threads may
 * exchange on one key at once. */
OLVEXKIT_EXPORT unsigned long OLVEXKIT_API OLVEXKIT_Exchange(OLVEXKIT_KEY key, const void *command,
                                                             int commandLength, void *response,
                                                             int *responseLength, int *status,
                                                             unsigned long timeoutMs);

/* OLVEXKIT_Exchange for callers that queue it to another thread (an
 * asynchronous call) and so cannot know whether it has begun when they
 * cancel it: they set *cancelled to nonzero and then call OLVEXKIT_Cancel,
 * and a timed call ends with ERROR_OPERATION_ABORTED whenever it begins. */
OLVEXKIT_EXPORT unsigned long OLVEXKIT_API OLVEXKIT_ExchangeCancellable(OLVEXKIT_KEY key, const void *command,
                                                                        int commandLength, void *response,
                                                                        int *responseLength, int *status,
                                                                        unsigned long timeoutMs,
                                                                        const volatile long *cancelled);

/* Ends every timed or started exchange on `key` that is running or waiting
 * when it is called, with ERROR_OPERATION_ABORTED. Any thread. */
OLVEXKIT_EXPORT unsigned long OLVEXKIT_API OLVEXKIT_Cancel(OLVEXKIT_KEY key);

/* How a started call ended: `error` 0 and the key's status word in `status`
 * (the body, `responseLength` bytes, is in the caller's buffer), or the
 * Windows error code and OLVEX_FAIL. Called once per call, on a thread of the
 * system's thread pool: it may block (a runtime relaying it to its own
 * thread) without holding up any key. */
typedef void(OLVEXKIT_API *OLVEXKIT_DONE)(void *context, unsigned long long call, unsigned long error, int status,
                                          int responseLength);

/* OLVEXKIT_Start's flags. By default callbacks come on any thread of the
 * pool, several at once. With OLVEXKIT_ONE_AT_A_TIME they come one at a time,
 * in the order the key's calls ended: for a runtime that relays each callback
 * to a thread of its own and holds the calling thread meanwhile, so that one
 * pool thread per key waits on it, not one per call. Each key is its own
 * route: a thread that is busy or gone holds up its own keys' callbacks only. */
#define OLVEXKIT_ONE_AT_A_TIME 1u

/* Starts one exchange and returns at once, its id through `call` (never 0,
 * never reused on that key). `response` (room for OLVEX_MAX_RESPONSE_BODY
 * bytes) must stay valid until `done` is called. timeoutMs as for
 * OLVEXKIT_Exchange, counted from this call; OLVEXKIT_NO_TIMEOUT: none. On a
 * failure here nothing is started and `done` is never called. */
OLVEXKIT_EXPORT unsigned long OLVEXKIT_API OLVEXKIT_Start(OLVEXKIT_KEY key, const void *command, int commandLength,
                                                          void *response, unsigned long timeoutMs,
                                                          unsigned long flags, OLVEXKIT_DONE done, void *context,
                                                          unsigned long long *call);

/* Transactions: several exchanges with the key and nobody's in between.
 * OLVEXKIT_Begin has the connection's own thread take the key's lock within
 * timeoutMs (OLVEXKIT_NO_TIMEOUT: no limit) and keep it until OLVEXKIT_End.
 * *tx receives a handle that OLVEXKIT_Exchange, OLVEXKIT_ExchangeCancellable,
 * OLVEXKIT_Start, OLVEXKIT_Cancel and OLVEXKIT_CancelCall accept in place of a
 * key: those exchanges run inside the transaction, with no other exchange from
 * any connection, thread or process in between. Exchanges made on `key`
 * itself meanwhile wait for the transaction to end (within their own limits).
 *   done NULL: returns once the lock is had (0, *tx set) or not (WAIT_TIMEOUT
 *     258; 995 when cancelled or closed; *tx untouched, nothing to end).
 *   done not NULL: returns 0 at once with *tx set; done(context, call, error,
 *     0, 0) reports later, as OLVEXKIT_Start's callbacks do (flags as for
 *     Start), whether the lock was had (`call` names the begin, for nothing
 *     further). Exchanges may be started inside at once: they run once the
 *     lock is had, and end with 995 if it never is. After a failure the
 *     transaction is over already, but *tx still needs OLVEXKIT_End, which
 *     then just frees it. OLVEXKIT_Cancel(tx) ends a begin still waiting.
 * A second begin on a connection whose transaction is still open (or still
 * beginning) fails at once with ERROR_BUSY (170): a connection has one
 * transaction at a time. `key` must be a key: a transaction is
 * ERROR_INVALID_HANDLE here. An exchange through a transaction that has
 * ended fails with ERROR_INVALID_HANDLE (6).
 * While one is open no other program can use the key at all: a transaction
 * left open holds every other caller up until it ends, its connection
 * closes, or its program ends. */
OLVEXKIT_EXPORT unsigned long OLVEXKIT_API OLVEXKIT_Begin(OLVEXKIT_KEY key, unsigned long timeoutMs,
                                                          unsigned long flags, OLVEXKIT_DONE done, void *context,
                                                          OLVEXKIT_KEY *tx);

/* Ends the transaction: its exchanges still waiting or running end with 995;
 * the connection's thread releases the lock once no answer is owed (a late
 * one is read and dropped first), and exchanges on the key go on. Returns at
 * once. Frees tx, which must not be used after; it may come before or after
 * the key's close (a close ends the transaction too). OLVEXKIT_Close(tx) does
 * the same. A key given here is ERROR_INVALID_HANDLE. NULL is ignored. */
OLVEXKIT_EXPORT unsigned long OLVEXKIT_API OLVEXKIT_End(OLVEXKIT_KEY tx);

/* Ends the started call `call` alone, with ERROR_OPERATION_ABORTED: 0, or
 * ERROR_NOT_FOUND (1168) when it has finished already (its callback comes or
 * came with its own outcome). Any thread. */
OLVEXKIT_EXPORT unsigned long OLVEXKIT_API OLVEXKIT_CancelCall(OLVEXKIT_KEY key, unsigned long long call);

/* For a runtime's exit hook: ends every connection of the process made
 * through the kit, those another thread is closing included. Calls still
 * waiting or running end without their callbacks, answers still owed get up
 * to graceMs (all at once), and every later exchange on those keys fails at
 * once with ERROR_INVALID_HANDLE. Keys are still closed with OLVEXKIT_Close;
 * keys opened afterwards work as usual. */
OLVEXKIT_EXPORT unsigned long OLVEXKIT_API OLVEXKIT_CloseAll(unsigned long graceMs);

/* Closes the connection: ends its calls (995), waits up to graceMs for an
 * answer the key still owes, then cancels that read and releases the key's
 * lock. It returns once the callbacks of the calls it ended have returned:
 * every response buffer and context passed for `key` may be freed then.
 * Called from inside one of the key's own callbacks it cannot wait for that
 * one: it closes all the same and waits for no callback, so the buffers of
 * calls still reporting stay valid until their callbacks have run. No
 * exchange may be running on `key` or start after this. NULL is ignored.
 *
 * Before FreeLibrary on the kit, a C caller closes every key it opened with
 * OLVEXKIT_Close, or with OLVEXKIT_CloseAsync and waits for its `done`, and
 * closes every watcher with OLVEXKIT_CloseWatch; no callback of the kit's
 * comes after that, and the system's pool keeps the kit loaded until the
 * last one has returned. */
OLVEXKIT_EXPORT unsigned long OLVEXKIT_API OLVEXKIT_Close(OLVEXKIT_KEY key, unsigned long graceMs);

/* Called once a key closed by OLVEXKIT_CloseAsync is closed; on a thread of
 * the system's thread pool. */
typedef void(OLVEXKIT_API *OLVEXKIT_CLOSED)(void *context);

/* OLVEXKIT_Close without a thread of the caller's waiting for the grace: it
 * returns at once, the close runs on a thread of the system's pool, and
 * `done` (if not NULL) is called when it has. Calls still waiting or running
 * end with ERROR_OPERATION_ABORTED before this returns. The same rules as
 * for OLVEXKIT_Close apply to `key` from the call on. */
OLVEXKIT_EXPORT unsigned long OLVEXKIT_API OLVEXKIT_CloseAsync(OLVEXKIT_KEY key, unsigned long graceMs,
                                                               OLVEXKIT_CLOSED done, void *context);

/* Keys by path, and watching for keys coming and going: olvexlib.hpp's keys(),
 * connection(path) and key_watcher, with the same contracts. */

typedef struct OLVEXKIT_KeyInfo {
    char path[OLVEXKIT_PATH_BUFFER];  /* zero-terminated */
    unsigned long long attached;      /* FILETIME: 100 ns since 1601, UTC */
} OLVEXKIT_KEYINFO;

#define OLVEXKIT_ATTACHED 1
#define OLVEXKIT_REMOVED 2

typedef struct OLVEXKIT_Event {
    OLVEXKIT_KEYINFO key;
    int what; /* OLVEXKIT_ATTACHED or OLVEXKIT_REMOVED */
    int reserved;
} OLVEXKIT_EVENT;

typedef struct OLVEXKIT_Watcher *OLVEXKIT_WATCHER;

/* The attached keys that open now, oldest first: up to `capacity` of them
 * into `keys`, their number through `count`. (OLVEXKIT_AllKeys reports the
 * others too.) */
OLVEXKIT_EXPORT unsigned long OLVEXKIT_API OLVEXKIT_Keys(OLVEXKIT_KEYINFO *keys, int capacity, int *count);

/* Every attached key, as olvexlib.hpp's keys() reports it: first those the
 * library lists (oldest first, each with its index), then any other attached
 * key, with why it cannot be opened. */
#define OLVEXKIT_OPENABLE 0    /* in the listing, at `index` */
#define OLVEXKIT_NOT_LISTED 1  /* opens, but the listing holds only the 10 oldest keys */
#define OLVEXKIT_OPEN_FAILED 2 /* does not open now: `error` is the Windows code */
#define OLVEXKIT_UNDATED 3     /* opens, but has no attach time, so the library does not list it */

typedef struct OLVEXKIT_KeyState {
    OLVEXKIT_KEYINFO key; /* key.attached 0 when not known */
    int index;            /* in the listing, or -1 */
    int state;            /* OLVEXKIT_OPENABLE ... OLVEXKIT_UNDATED */
    unsigned long error;  /* with OLVEXKIT_OPEN_FAILED */
    int reserved;
} OLVEXKIT_KEYSTATE;

/* Up to `capacity` of them into `keys`; their number, all of them, through
 * `count`: when it exceeds capacity, call again with more room. */
OLVEXKIT_EXPORT unsigned long OLVEXKIT_API OLVEXKIT_AllKeys(OLVEXKIT_KEYSTATE *keys, int capacity, int *count);

/* Opens the attached key with this device path, whatever its index;
 * ERROR_DEVICE_NOT_CONNECTED (1167) when no attached key has it. An
 * exchange with a key that has since been removed fails with 1167 too. */
OLVEXKIT_EXPORT unsigned long OLVEXKIT_API OLVEXKIT_OpenPath(OLVEXKIT_KEY *key, const char *path);

/* What a device path says the key is (\\?\usb#vid_VVVV&pid_PPPP#SERIAL#{class}):
 * its vendor and product ids, and its serial into `serial` (OLVEXKIT_PATH_BUFFER
 * bytes, zero-terminated). A path of another form gives 0, 0 and an empty
 * serial, and still returns 0. Any argument but `path` may be NULL. Keys
 * listed or watched are named by their paths: this is how to read those. */
OLVEXKIT_EXPORT unsigned long OLVEXKIT_API OLVEXKIT_Identify(const char *path, unsigned short *vendorId,
                                                             unsigned short *productId, char *serial);

/* Opens the attached key with this serial (case does not count), whatever its
 * index; its path to pathOut. ERROR_DEVICE_NOT_CONNECTED (1167) when no
 * attached key has it. ERROR_AMBIGUOUS_SYSTEM_DEVICE (15250) when several
 * do: none is opened, and the paths of the first two go to pathOut and
 * otherPathOut, so that the caller can name them. Both buffers hold
 * OLVEXKIT_PATH_BUFFER bytes, and may be NULL. */
OLVEXKIT_EXPORT unsigned long OLVEXKIT_API OLVEXKIT_OpenSerial(OLVEXKIT_KEY *key, const char *serial, char *pathOut,
                                                               char *otherPathOut);

/* Starts watching: first an attached event for each key present, oldest
 * first, then one per change. intervalMs: the polling interval where the
 * platform does not notify (0: 250 ms). */
OLVEXKIT_EXPORT unsigned long OLVEXKIT_API OLVEXKIT_Watch(OLVEXKIT_WATCHER *watcher, unsigned long intervalMs);

/* The next event, waiting up to waitMs for one: 0, WAIT_TIMEOUT (258) when
 * none came, ERROR_NO_MORE_ITEMS (259) once stopped. */
OLVEXKIT_EXPORT unsigned long OLVEXKIT_API OLVEXKIT_NextEvent(OLVEXKIT_WATCHER watcher, OLVEXKIT_EVENT *event,
                                                              unsigned long waitMs);

/* 1 through `notified` when changes come from the platform's notifications,
 * 0 when the watcher polls. */
OLVEXKIT_EXPORT unsigned long OLVEXKIT_API OLVEXKIT_WatchNotified(OLVEXKIT_WATCHER watcher, int *notified);

/* Stops the watching and wakes any OLVEXKIT_NextEvent; any thread, any
 * number of times. */
OLVEXKIT_EXPORT unsigned long OLVEXKIT_API OLVEXKIT_StopWatch(OLVEXKIT_WATCHER watcher);

/* Frees the watcher (stopping it first if need be); no other call on it may
 * be running or come after. NULL is ignored. */
OLVEXKIT_EXPORT unsigned long OLVEXKIT_API OLVEXKIT_CloseWatch(OLVEXKIT_WATCHER watcher);

/* The version of the loaded kit (OLVEXKIT_VERSION when it was built), so
 * that a binding can tell a kit older than itself. */
OLVEXKIT_EXPORT unsigned long OLVEXKIT_API OLVEXKIT_Version(unsigned long *version);

/* What a code this kit (or Olvexlib.dll) returned means, in the library's
 * terms (olvexlib.hpp's olvex::category()), zero-terminated into `text` of
 * `capacity` bytes, cut short if need be; the length it needs (terminator
 * included) through `needed` when not NULL. Codes the library does not give
 * get the platform's own words. One table words every layer's errors. Asked
 * right after a call failed, on the same thread, with the code it returned,
 * the words are that failure's own, which may say more than the code: a 258
 * that the connection's own earlier, late exchange caused says so. */
OLVEXKIT_EXPORT unsigned long OLVEXKIT_API OLVEXKIT_ErrorMessage(unsigned long code, char *text, int capacity,
                                                                int *needed);

#ifdef __cplusplus
}
#endif

#endif /* OLVEXKIT_H */
