'use strict';
// The attached USB keys, opening one, and command exchanges, through koffi:
// listing from Olvexlib.dll, connections and time limits from Olvexkit.dll
// (olvexlib.hpp's, so that a Node.js program gives up on a key, cancels and
// closes exactly as a C++ one does). The package carries both DLLs for x64
// and x86; those matching this process are loaded.
const path = require('path');
const fs = require('fs');
const { EventEmitter } = require('events');
const { isMainThread } = require('worker_threads');
const koffi = require('koffi');

const MAX_COMMAND = 65532;
const MAX_RESPONSE_BODY = 51195;
const PATH_BUFFER = 264;  // OLVEXKIT_PATH_BUFFER
const COPY_LIMIT = 4096;
const ASYNC_ROOMS = 4;  // answer rooms kept per connection for exchangeAsync()
const NO_TIMEOUT = 0xFFFFFFFF;
const MAX_TIMEOUT = 0xFFFFFFFE;
const CLOSE_GRACE_MS = 2000;
// koffi runs a callback made on another thread on the main thread, holding
// that thread (and one of a few hundred slots, beyond which it fails) until
// it has run there: the kit calls a key's one at a time, so that calls
// settling together (a close, one deadline) hold one thread of the system's
// pool, not one each. Each key is its own route: a worker that is busy, or
// gone, holds up only its own keys' calls.
const ONE_AT_A_TIME = 1;  // OLVEXKIT_ONE_AT_A_TIME

const ERROR_INVALID_HANDLE = 6;
const ERROR_INVALID_PARAMETER = 87;
const ERROR_BUSY = 170;
const WAIT_TIMEOUT = 258;
const ERROR_NO_MORE_ITEMS = 259;
const ERROR_OPERATION_ABORTED = 995;
const ERROR_DEVICE_NOT_CONNECTED = 1167;
const ERROR_TIMEOUT = 1460;
const ERROR_AMBIGUOUS_SYSTEM_DEVICE = 15250;
const KIT_ATTACHED = 1;  // OLVEXKIT_ATTACHED; OLVEXKIT_REMOVED is 2
// How often a watcher takes the kit's events onto the event loop: the kit
// lists keys every 250 ms by default, so this adds little to an event's delay.
const DRAIN_MS = 25;
// FILETIME's 1601 epoch, in ms before 1970.
const FILETIME_EPOCH_MS = 11644473600000;

const folders = { x64: 'win32-x64', ia32: 'win32-ia32' };
if (process.platform !== 'win32' || !folders[process.arch]) {
  throw new Error(`olvexlib: no Olvexlib.dll for ${process.platform}-${process.arch} (Windows x64 and x86 only)`);
}
// Electron apps must keep the DLLs out of the asar archive (asarUnpack).
const folder = path.join(__dirname.replace(/\.asar([\\/])/, '.asar.unpacked$1'), folders[process.arch]);
const dllPath = path.join(folder, 'Olvexlib.dll');
const kitPath = path.join(folder, 'Olvexkit.dll');
// Olvexlib.dll first: Olvexkit.dll imports it, and Windows looks for an
// import among the loaded modules before searching node.exe's folder.
const dll = koffi.load(dllPath);
const kit = koffi.load(kitPath);
const kernel32 = koffi.load('kernel32.dll');
// koffi unloads its libraries when the process ends, while a watcher's or a
// connection's thread may still be running in Olvexkit.dll: pinned, the code
// stays mapped until the process is gone.
{
  const pin = kernel32.func('int __stdcall GetModuleHandleExW(uint32_t flags, const char16_t *name, _Out_ void **module)');
  const GET_MODULE_HANDLE_EX_FLAG_PIN = 1;
  if (!pin(GET_MODULE_HANDLE_EX_FLAG_PIN, kitPath, [null])) {
    throw new Error(`olvexlib: cannot pin ${kitPath} (Windows error ${kernel32.func('uint32_t __stdcall GetLastError()')()})`);
  }
}

// Each thread that loads the package (the main thread, each worker) loads the
// kit as a Node-API addon too, after koffi: when that thread's environment
// ends, by a return, an uncaught error or terminate(), the kit ends the
// connections it opened (their calls end without settling) before koffi lets
// go of the callbacks their completions would call. Other threads' calls go
// on untouched.
process.dlopen({ exports: {} }, kitPath);

// The exports are __stdcall on x86; koffi ignores it on x64. Buffers go in as
// raw pointers so that nothing is copied; a started call's answer room is
// written by the connection's thread until its completion comes.
koffi.opaque('OLVEXKIT_Key');
koffi.opaque('OLVEXKIT_Watcher');
// A context is a number of ours (a pointer-sized integer to the kit).
const Done = koffi.proto('void __stdcall OLVEXKIT_DONE(uintptr_t context, uint64_t call, uint32_t error, int status, ' +
                         'int responseLength)');
const Closed = koffi.proto('void __stdcall OLVEXKIT_CLOSED(uintptr_t context)');
const KeyInfo = koffi.struct('OLVEXKIT_KEYINFO', {
  path: koffi.array('char', PATH_BUFFER, 'String'),
  attached: 'uint64',  // FILETIME
});
const KeyEvent = koffi.struct('OLVEXKIT_EVENT', { key: KeyInfo, what: 'int', reserved: 'int' });
const KeyState = koffi.struct('OLVEXKIT_KEYSTATE', {
  key: KeyInfo, index: 'int', state: 'int', error: 'uint32_t', reserved: 'int',
});
// Read out of Buffers the kit fills: a layout that drifted from olvexkit.h
// would hand out garbage paths, so refuse to load instead.
if (koffi.sizeof(KeyInfo) !== 272 || koffi.sizeof(KeyEvent) !== 280 || koffi.sizeof(KeyState) !== 288) {
  throw new Error(`olvexlib: OLVEXKIT_KEYINFO/OLVEXKIT_EVENT are ${koffi.sizeof(KeyInfo)}/${koffi.sizeof(KeyEvent)} bytes, not 272/280`);
}
const native = {
  keyCount: kit.func('uint32_t __stdcall OLVEXKIT_KeyCount(_Out_ int *count)'),
  getLastError: kernel32.func('uint32_t __stdcall GetLastError()'),
  open: kit.func('uint32_t __stdcall OLVEXKIT_Open(_Out_ OLVEXKIT_Key **key, int index, void *pathOut)'),
  exchange: kit.func('uint32_t __stdcall OLVEXKIT_Exchange(OLVEXKIT_Key *key, const void *command, ' +
                     'int commandLength, void *response, void *responseLength, void *status, uint32_t timeoutMs)'),
  start: kit.func('uint32_t __stdcall OLVEXKIT_Start(OLVEXKIT_Key *key, const void *command, int commandLength, ' +
                  'void *response, uint32_t timeoutMs, uint32_t flags, OLVEXKIT_DONE *done, uintptr_t context, ' +
                  'void *call)'),
  cancelCall: kit.func('uint32_t __stdcall OLVEXKIT_CancelCall(OLVEXKIT_Key *key, uint64_t call)'),
  cancel: kit.func('uint32_t __stdcall OLVEXKIT_Cancel(OLVEXKIT_Key *key)'),
  begin: kit.func('uint32_t __stdcall OLVEXKIT_Begin(OLVEXKIT_Key *key, uint32_t timeoutMs, uint32_t flags, ' +
                  'OLVEXKIT_DONE *done, uintptr_t context, _Out_ OLVEXKIT_Key **tx)'),
  end: kit.func('uint32_t __stdcall OLVEXKIT_End(OLVEXKIT_Key *tx)'),
  close: kit.func('uint32_t __stdcall OLVEXKIT_Close(OLVEXKIT_Key *key, uint32_t graceMs)'),
  closeAll: kit.func('uint32_t __stdcall OLVEXKIT_CloseAll(uint32_t graceMs)'),
  closeAsync: kit.func('uint32_t __stdcall OLVEXKIT_CloseAsync(OLVEXKIT_Key *key, uint32_t graceMs, ' +
                       'OLVEXKIT_CLOSED *done, uintptr_t context)'),
  keys: kit.func('uint32_t __stdcall OLVEXKIT_Keys(void *keys, int capacity, _Out_ int *count)'),
  allKeys: kit.func('uint32_t __stdcall OLVEXKIT_AllKeys(void *keys, int capacity, _Out_ int *count)'),
  errorMessage: kit.func('uint32_t __stdcall OLVEXKIT_ErrorMessage(uint32_t code, _Out_ uint8_t *text, int capacity, _Out_ int *needed)'),
  openPath: kit.func('uint32_t __stdcall OLVEXKIT_OpenPath(_Out_ OLVEXKIT_Key **key, const char *path)'),
  identify: kit.func('uint32_t __stdcall OLVEXKIT_Identify(const char *path, _Out_ uint16_t *vendorId, ' +
                     '_Out_ uint16_t *productId, void *serial)'),
  openSerial: kit.func('uint32_t __stdcall OLVEXKIT_OpenSerial(_Out_ OLVEXKIT_Key **key, const char *serial, ' +
                       'void *pathOut, void *otherPathOut)'),
  watch: kit.func('uint32_t __stdcall OLVEXKIT_Watch(_Out_ OLVEXKIT_Watcher **watcher, uint32_t intervalMs)'),
  nextEvent: kit.func('uint32_t __stdcall OLVEXKIT_NextEvent(OLVEXKIT_Watcher *watcher, void *event, uint32_t waitMs)'),
  watchNotified: kit.func('uint32_t __stdcall OLVEXKIT_WatchNotified(OLVEXKIT_Watcher *watcher, _Out_ int *notified)'),
  stopWatch: kit.func('uint32_t __stdcall OLVEXKIT_StopWatch(OLVEXKIT_Watcher *watcher)'),
  closeWatch: kit.func('uint32_t __stdcall OLVEXKIT_CloseWatch(OLVEXKIT_Watcher *watcher)'),
};

// Node's names where a caller would look for them, Windows' otherwise.
const codes = {
  2: 'ERROR_FILE_NOT_FOUND',
  5: 'ERROR_ACCESS_DENIED',
  6: 'ERROR_INVALID_HANDLE',
  8: 'ERROR_NOT_ENOUGH_MEMORY',
  13: 'ERROR_INVALID_DATA',
  87: 'EINVAL',
  109: 'ERROR_BROKEN_PIPE',
  170: 'ERROR_BUSY',
  258: 'EBUSY',
  995: 'ECANCELED',
  1167: 'ENODEV',
  1460: 'ETIMEDOUT',
  15250: 'ERROR_AMBIGUOUS_SYSTEM_DEVICE',
};
// A failed call. `errno` is the Windows error code, `code` its name; the
// message words it as every layer does (the kit's table), made right after
// the call so that it can say more than the code (a 258 this connection's
// own late exchange caused).
class OlvexError extends Error {
  constructor(what, errno) {
    super(`olvexlib: ${what} failed: ${errorMessage(errno)} (Windows error ${errno})`);
    this.name = 'OlvexError';
    this.errno = errno;
    this.code = codes[errno] || `WIN32_ERROR_${errno}`;
  }
}

// The key is listed but cannot be opened (e.g. unplugged since it was
// listed); `errno` is the platform's reason. `index`, or `path` when it was
// opened by its path.
class KeyOpenError extends OlvexError {
  constructor(which, errno) {
    super(`opening key ${which}`, errno);
    this.name = 'KeyOpenError';
    if (typeof which === 'string') this.path = which;
    else this.index = which;
  }
}

// The key is gone: an exchange with a key that was unplugged (and every
// later one on that connection), or open(path) with no attached key of that
// path. errno 1167, code ENODEV. The connection still closes as usual.
class KeyRemovedError extends OlvexError {
  constructor(what) {
    super(what, ERROR_DEVICE_NOT_CONNECTED);
    this.name = 'KeyRemovedError';
  }
}

// A time limit ran out: errno 258 (code EBUSY) when another program held the
// key's lock all along and nothing was sent; 1460 (ETIMEDOUT) when the key
// did not answer in time, its late answer being discarded by the connection.
class TimeoutError extends OlvexError {
  constructor(what, errno) {
    super(what, errno);
    this.name = 'TimeoutError';
  }
}

// The exchange was cancelled, by its AbortSignal or close(): errno 995,
// ECANCELED.
class AbortError extends OlvexError {
  constructor(what) {
    super(what, ERROR_OPERATION_ABORTED);
    this.name = 'AbortError';
  }
}

// A call ended by its signal rejects with the reason given to abort(reason),
// as fetch does; with none (the runtime's own DOMException), with AbortError.
function aborted(signal) {
  const reason = signal.reason;
  if (reason !== undefined && !(reason instanceof Error && reason.name === 'AbortError')) return reason;
  const e = new AbortError('the exchange');
  if (reason !== undefined) e.cause = reason;
  return e;
}

function failure(what, errno) {
  if (errno === WAIT_TIMEOUT || errno === ERROR_TIMEOUT) return new TimeoutError(what, errno);
  if (errno === ERROR_OPERATION_ABORTED) return new AbortError(what);
  if (errno === ERROR_DEVICE_NOT_CONNECTED) return new KeyRemovedError(what);
  return new OlvexError(what, errno);
}

let listed = null;  // the count of this process's last listing; null before the first

// Rebuilds the list of attached keys; returns their number. Indexes
// 0..count-1, oldest first, are what open() takes until the next call.
function enumerate() {
  const count = [0];
  // Through the kit, whose lock keeps it apart from a watcher's listings.
  const errno = native.keyCount(count);
  if (errno !== 0) throw new OlvexError('listing keys', errno);
  listed = count[0];
  return count[0];
}

// An index names a key of this process's last listing, and nothing before one.
function indexError(index) {
  const e = new RangeError(listed === null
    ? `olvexlib: open(${index}) before any listing in this process: call olvex.enumerate() first, or open by path`
    : `olvexlib: open(${index}): the last listing had ${listed} key(s), indexes 0 to ${listed - 1}`);
  e.errno = ERROR_INVALID_PARAMETER;
  e.code = codes[ERROR_INVALID_PARAMETER];
  return e;
}

// Device paths of the attached keys, oldest first; null for a key that cannot
// be opened (a path is only reported by opening).
function list() {
  const count = enumerate();
  const paths = [];
  for (let i = 0; i < count; i++) {
    try {
      const { handle, path: p } = openHandle(i);
      native.close(handle, CLOSE_GRACE_MS);  // never exchanged on: returns at once
      paths.push(p);
    } catch (e) {
      if (!(e instanceof KeyOpenError)) throw e;
      paths.push(null);
    }
  }
  return paths;
}

// What waits for the kit's completions (started calls, closes), by context.
// The kit reports on a thread of the system's pool; koffi queues the report
// to this thread and holds that pool thread until it has run here, so no
// libuv thread ever waits on a key. One registered callback of each kind
// serves every call.
const waiting = new Map();
let lastContext = 0;
// Keeps the event loop alive while anything waits for the kit (koffi's relay
// does not): ref'd only then, so that `key.exchangeAsync(cmd).then(print)`
// prints and a program with nothing pending still ends.
const keepAlive = setInterval(() => {}, 0x7fffffff);
keepAlive.unref();

function expect(settle) {
  do lastContext = lastContext >= 0x7fffffff ? 1 : lastContext + 1; while (waiting.has(lastContext));
  if (waiting.size === 0) keepAlive.ref();
  waiting.set(lastContext, settle);
  return lastContext;
}

function forget(context) {
  waiting.delete(context);
  if (waiting.size === 0) keepAlive.unref();
}

function arrived(context, errno, status, length) {
  const settle = waiting.get(context);
  if (settle === undefined) return;
  forget(context);
  settle(errno, status, length);
}
const onDone = koffi.register((context, call, errno, status, length) => arrived(context, errno, status, length),
                              koffi.pointer(Done));
const onClosed = koffi.register((context) => arrived(context, 0, 0, 0), koffi.pointer(Closed));
const callId = new Uint32Array(2);  // OLVEXKIT_Start's id, read at once

// The program's end (process.exit(), or an event loop that empties with a
// connection still open): an answer a connection still owes gets up to the
// grace, and is read and dropped here rather than left to the next program.
// Calls still pending end without settling. Not in a worker: its end is not
// the process's.
if (isMainThread) process.on('exit', () => native.closeAll(CLOSE_GRACE_MS));

// A connection the program dropped without close(): its native thread and
// handles go when it is collected, closed on the system's pool. Only the
// native handle is held here; a Key with calls pending is held by them.
const leaked = new FinalizationRegistry((handle) => native.closeAsync(handle, CLOSE_GRACE_MS, null, 0));

// A time limit in ms for the kit (none: OLVEXKIT_NO_TIMEOUT); fractions
// round up so that no limit expires at once.
function limitOf(timeout) {
  if (timeout === undefined) return NO_TIMEOUT;
  if (typeof timeout !== 'number') throw new TypeError('olvexlib: the timeout must be a number of ms');
  if (!(timeout > 0) || !Number.isFinite(timeout)) {
    throw new OlvexError(`the exchange (timeout ${String(timeout)} ms is not a positive number)`, ERROR_INVALID_PARAMETER);
  }
  return Math.min(Math.ceil(timeout), MAX_TIMEOUT);
}

// Synchronous exchanges answer here: one at a time per thread, whatever the key.
const syncRoom = Buffer.allocUnsafeSlow(MAX_RESPONSE_BODY);

// The exchanges of a Key, and of a Transaction on one: the kit takes either
// handle alike.
class Exchanger {
  constructor(handle) {
    this._handle = handle;  // null once closed or ended
    this._rooms = [];  // answer rooms for exchangeAsync(), kept between calls
    this._out = new Int32Array(2);  // [length, status] of synchronous exchanges
    this._pending = 0;  // exchangeAsync() calls not yet settled
    this._closeLater = null;  // close()'s resolve, while exchanges are pending
  }

  // Sends one command (Buffer or Uint8Array, at most 65532 bytes) and waits
  // for the key's answer: { status, body }. Blocks this thread meanwhile, for
  // at most `timeout` ms when given (the same contract as exchangeAsync()).
  exchange(command, { timeout } = {}) {
    this._check(command);
    const limit = limitOf(timeout);
    this._checkSync();
    // The kit answers into this thread's room for the longest body, which
    // stays warm; the body is copied out at its exact size, unzeroed. Handing
    // the room itself out instead left the next answer to land in fresh
    // memory, which cost more than the copy does.
    const out = this._out;
    const errno = native.exchange(this._handle, command, command.length, syncRoom, out, out.subarray(1), limit);
    if (errno !== 0) throw failure('the exchange', errno);
    const body = Buffer.allocUnsafe(out[0]);
    syncRoom.copy(body, 0, 0, out[0]);
    return { status: out[1], body };
  }

  // For loops that must not allocate: the body lands at the start of
  // `response` (a Buffer or Uint8Array of at least MAX_RESPONSE_BODY bytes,
  // reusable); returns { status, body } with body a view of `response`.
  exchangeInto(command, response) {
    this._check(command);
    if (!(response instanceof Uint8Array) || response.length < MAX_RESPONSE_BODY) {
      throw new TypeError(`olvexlib: the response buffer must be a Buffer or Uint8Array of ${MAX_RESPONSE_BODY} bytes`);
    }
    this._checkSync();
    const out = this._out;
    const errno = native.exchange(this._handle, command, command.length, response, out, out.subarray(1), NO_TIMEOUT);
    if (errno !== 0) throw failure('the exchange', errno);
    return { status: out[1], body: Buffer.from(response.buffer, response.byteOffset, out[0]) };
  }

  // As exchange(), without blocking any thread; resolves to { status, body }.
  // The `timeout` (ms) covers the whole call from now, waiting for the key's
  // lock included; `signal` (an AbortSignal) cancels this call alone. See
  // index.d.ts.
  exchangeAsync(command, { timeout, signal } = {}) {
    let limit;
    try {
      this._check(command);
      limit = limitOf(timeout);
      checkSignal(signal);
    } catch (e) {
      return Promise.reject(e);
    }
    const handle = this._handle;
    // Written by the connection's thread until the completion, which holds
    // it. The kit takes a copy of the command at once.
    const response = this._rooms.pop() || Buffer.allocUnsafeSlow(MAX_RESPONSE_BODY);
    return new Promise((resolve, reject) => {
      let onAbort = null;
      const context = expect((errno, status, length) => {
        if (onAbort) signal.removeEventListener('abort', onAbort);
        this._settled();
        if (errno !== 0) {
          this._keepRoom(response);
          reject(errno === ERROR_OPERATION_ABORTED && signal && signal.aborted ? aborted(signal) : failure('the exchange', errno));
        } else if (length > COPY_LIMIT) {
          resolve({ status, body: response.subarray(0, length) });
        } else {
          this._keepRoom(response);
          resolve({ status, body: Buffer.from(response.subarray(0, length)) });
        }
      });
      const errno = native.start(handle, command, command.length, response, limit, ONE_AT_A_TIME, onDone, context,
                                 callId);
      if (errno !== 0) {
        forget(context);
        this._keepRoom(response);
        reject(failure('the exchange', errno));
        return;
      }
      this._pending++;
      if (signal) {
        // The id names this call alone, and nothing once it has finished.
        // After close() the key may be gone: close has ended the call.
        const call = callId[0] + callId[1] * 2 ** 32;
        onAbort = () => {
          if (this._handle !== null) native.cancelCall(handle, call);
        };
        signal.addEventListener('abort', onAbort, { once: true });
      }
    });
  }

  _keepRoom(response) {
    if (this._handle !== null && this._rooms.length < ASYNC_ROOMS) this._rooms.push(response);
  }

  _settled() {
    if (--this._pending === 0 && this._closeLater) {
      const done = this._closeLater;
      this._closeLater = null;
      done();
    }
  }

  _check(command) {
    if (this._handle === null) throw new OlvexError('the exchange', ERROR_INVALID_HANDLE);
    if (!(command instanceof Uint8Array)) throw new TypeError('olvexlib: the command must be a Buffer or Uint8Array');
  }

  _checkSync() {}
}

// One open key.
class Key extends Exchanger {
  constructor(handle, path) {
    super(handle);
    this.path = path;
    this._tx = null;  // the transaction open on it, if any
    this._closed = null;  // close()'s promise
    leaked.register(this, handle, this);
  }

  // A synchronous exchange on the key waits for its transaction to end,
  // which only this thread can do: it would never return.
  _checkSync() {
    if (this._tx !== null) {
      throw new OlvexError('the exchange on the key (its transaction is open: exchange through the transaction)', ERROR_BUSY);
    }
  }

  // Runs `body(tx)` inside a transaction: the key's lock is had, within
  // `timeout` ms when given, without holding any of Node's threads while it
  // waits; then every exchange made through `tx` (exchange, exchangeInto,
  // exchangeAsync) reaches the key with no other exchange from any
  // connection, thread or process in between. The transaction ends when the
  // promise `body` returns settles, or it throws: its calls still pending
  // end with AbortError, and the lock goes back once no answer is owed.
  // Resolves to what `body` resolved to, or rejects with what it threw.
  // `signal` cancels the wait for the lock, and then the transaction's calls
  // in progress. Exchanges made on the key itself meanwhile wait for the end
  // (synchronous ones throw errno 170: they could only wait forever).
  async transaction(body, { timeout, signal } = {}) {
    if (typeof body !== 'function') throw new TypeError('olvexlib: transaction() takes a function, tx => ...');
    const limit = limitOf(timeout);
    checkSignal(signal);
    if (this._handle === null) throw new OlvexError('beginning a transaction', ERROR_INVALID_HANDLE);
    const txOut = [null];
    let tx = null;
    let onAbort = null;
    const begun = new Promise((resolve, reject) => {
      const context = expect((errno) => {
        this._settled();
        if (errno === 0) resolve();
        else reject(errno === ERROR_OPERATION_ABORTED && signal && signal.aborted ? aborted(signal) : failure('beginning a transaction', errno));
      });
      const errno = native.begin(this._handle, limit, ONE_AT_A_TIME, onDone, context, txOut);
      if (errno !== 0) {
        forget(context);
        reject(failure('beginning a transaction', errno));
        return;
      }
      this._pending++;
      tx = new Transaction(this, txOut[0]);
      this._tx = tx;
      if (signal) {
        onAbort = () => tx._cancel();
        signal.addEventListener('abort', onAbort, { once: true });
      }
    });
    try {
      await begun;
      return await body(tx);
    } finally {
      if (onAbort) signal.removeEventListener('abort', onAbort);
      if (tx) tx._end();
    }
  }

  // Closes the connection: later calls fail with errno 6 at once, and the
  // pending exchangeAsync() calls end (AbortError) through the kit. The kit
  // closes on the system's pool (up to 2 s for an answer the key still owes),
  // so nothing here waits. Returns a promise that resolves (never rejects)
  // once it is closed and those calls have settled; callers may ignore it.
  close() {
    if (this._closed) return this._closed;
    // The kit ends a key's transaction before it closes the key.
    if (this._tx) this._tx._end();
    const handle = this._handle;
    this._handle = null;
    this._rooms = [];
    leaked.unregister(this);
    const closed = new Promise((resolve) => {
      const context = expect(() => resolve());
      if (native.closeAsync(handle, CLOSE_GRACE_MS, onClosed, context) !== 0) {
        // The pool would not take it: closed here instead.
        forget(context);
        native.close(handle, CLOSE_GRACE_MS);
        resolve();
      }
    });
    const settled = this._pending > 0 && new Promise((resolve) => { this._closeLater = resolve; });
    this._closed = settled ? Promise.all([closed, settled]).then(() => undefined) : closed;
    return this._closed;
  }
}

// A transaction on a Key (Key.transaction()): the Key's exchanges, made
// inside it. Once it has ended they fail with errno 6.
class Transaction extends Exchanger {
  constructor(key, handle) {
    super(handle);
    this.key = key;
  }

  get path() {
    return this.key.path;
  }

  _cancel() {
    if (this._handle !== null) native.cancel(this._handle);
  }

  _end() {
    const handle = this._handle;
    if (handle === null) return;
    this._handle = null;
    this._rooms = [];
    if (this.key._tx === this) this.key._tx = null;
    native.end(handle);
  }
}

// A signal option must be an AbortSignal; one aborted already ends the call.
function checkSignal(signal) {
  if (signal != null && !(typeof signal.aborted === 'boolean' && typeof signal.addEventListener === 'function')) {
    throw new TypeError('olvexlib: the signal must be an AbortSignal');
  }
  if (signal && signal.aborted) throw aborted(signal);
}

function openHandle(index) {
  if (!Number.isInteger(index)) throw new TypeError('olvexlib: the index must be an integer');
  if (listed === null || index < 0 || index >= listed) throw indexError(index);
  const handle = [null];
  const pathOut = Buffer.alloc(PATH_BUFFER);
  const errno = native.open(handle, index, pathOut);
  if (errno !== 0) {
    // An index outside the listing is the caller's error; anything else is
    // the key's.
    if (errno === ERROR_INVALID_PARAMETER) throw indexError(index);
    throw new KeyOpenError(index, errno);
  }
  const end = pathOut.indexOf(0);
  return { handle: handle[0], path: pathOut.toString('latin1', 0, end < 0 ? PATH_BUFFER : end) };
}

// Opens key `index` of the last enumerate() or list(), or the attached key
// with this device path whatever its index now.
function open(which) {
  if (typeof which === 'string') return openPath(which);
  if (typeof which !== 'number') throw new TypeError('olvexlib: open() takes an index or a device path');
  const { handle, path: p } = openHandle(which);
  return new Key(handle, p);
}

function openPath(p) {
  const handle = [null];
  const errno = native.openPath(handle, p);
  if (errno === ERROR_DEVICE_NOT_CONNECTED) throw new KeyRemovedError(`opening key ${p}`);
  if (errno === ERROR_INVALID_PARAMETER) throw new OlvexError(`opening key ${p}`, errno);
  if (errno !== 0) throw new KeyOpenError(p, errno);
  return new Key(handle[0], p);
}

const attachedDate = (filetime) => new Date(Number(BigInt(filetime) / 10000n) - FILETIME_EPOCH_MS);
const cString = (buffer) => {
  const end = buffer.indexOf(0);
  return buffer.toString('latin1', 0, end < 0 ? buffer.length : end);
};
// What the path says the key is: the kit's reading, the same in every layer.
function identity(p) {
  const vendorId = [0], productId = [0], serial = Buffer.alloc(PATH_BUFFER);
  if (native.identify(p, vendorId, productId, serial) !== 0) return { vendorId: 0, productId: 0, serial: '' };
  return { vendorId: vendorId[0], productId: productId[0], serial: cString(serial) };
}
const keyOf = (info) => ({ path: info.path, attached: attachedDate(info.attached), ...identity(info.path) });

// Opens the attached key whose serial (KeyInfo.serial; case does not count)
// is `serial`, whatever its index. None: KeyRemovedError. Several: an
// OlvexError 15250 naming their paths, which are also in its `paths`.
function openSerial(serial) {
  if (typeof serial !== 'string') throw new TypeError('olvexlib: the serial must be a string');
  const handle = [null];
  const pathOut = Buffer.alloc(PATH_BUFFER), otherOut = Buffer.alloc(PATH_BUFFER);
  const errno = native.openSerial(handle, serial, pathOut, otherOut);
  const what = `opening the key with serial ${serial}`;
  if (errno === 0) return new Key(handle[0], cString(pathOut));
  if (errno === ERROR_AMBIGUOUS_SYSTEM_DEVICE) {
    const paths = [cString(pathOut), cString(otherOut)];
    const e = new OlvexError(`${what} (claimed by ${paths.join(' and ')})`, errno);
    e.paths = paths;
    throw e;
  }
  throw failure(what, errno);
}

// What a Windows code means, in the library's words (the kit's table).
function errorMessage(code) {
  const text = Buffer.alloc(512);
  const needed = [0];
  if (native.errorMessage(code, text, text.length, needed) !== 0) return `Windows error ${code}`;
  return text.toString('latin1', 0, Math.max(0, text.indexOf(0)));
}

const OPENABLE = 0, NOT_LISTED = 1, OPEN_FAILED = 2;
function whyNot(state, errno) {
  if (state === NOT_LISTED) return 'beyond the 10 keys the library lists (the oldest ones)';
  if (state === OPEN_FAILED) return `it does not open: ${errorMessage(errno)} (error ${errno})`;
  return 'the platform keeps no attach time for it, so the library does not list it';
}

// Every attached key: first those the library lists, oldest first
// ({ path, attached, index, openable: true }); then any other attached key,
// with why it cannot be opened ({ path, attached (or null), index: null,
// openable: false, why, errno (the platform's code when it did not open, else
// 0) }).
function keys() {
  for (let capacity = 16; ; ) {
    const room = Buffer.alloc(capacity * koffi.sizeof(KeyState));
    const count = [0];
    const errno = native.allKeys(room, capacity, count);
    if (errno !== 0) throw failure('listing keys', errno);
    if (count[0] > capacity) {
      capacity = count[0];
      continue;
    }
    return Array.from({ length: count[0] }, (_, i) => {
      const k = koffi.decode(room, i * koffi.sizeof(KeyState), KeyState);
      if (k.state === OPENABLE) return { ...keyOf(k.key), index: k.index, openable: true };
      return {
        path: k.key.path, attached: k.key.attached ? attachedDate(k.key.attached) : null, index: null,
        openable: false, why: whyNot(k.state, k.error), errno: k.state === OPEN_FAILED ? k.error : 0,
      };
    });
  }
}

// Native watchers whose KeyWatcher was dropped without close().
const droppedWatchers = new FinalizationRegistry((state) => {
  clearInterval(state.timer);
  native.closeWatch.async(state.handle, () => {});
});
// Watchers with attach or detach listeners: kept alive, and the process with
// them, as long as those listeners may still hear something.
const listened = new Set();

// Outside the constructor, whose closures share a context holding `this`:
// the timer must reach its watcher only weakly.
function drainTimer(watcher) {
  const timer = setInterval(() => {
    const w = watcher.deref();
    if (w) w._drain();
  }, DRAIN_MS);
  timer.unref();
  return timer;
}

// Keys coming and going, from Olvexkit.dll's watcher: its events are taken
// onto the event loop every DRAIN_MS and emitted one at a time, in order.
class KeyWatcher extends EventEmitter {
  constructor({ interval } = {}) {
    super();
    let ms = 0;  // the kit's default
    if (interval !== undefined) {
      if (typeof interval !== 'number' || !(interval > 0) || !Number.isFinite(interval)) {
        throw new OlvexError(`watching for keys (interval ${String(interval)} ms is not a positive number)`, ERROR_INVALID_PARAMETER);
      }
      ms = Math.min(Math.ceil(interval), MAX_TIMEOUT);
    }
    const handle = [null];
    const errno = native.watch(handle, ms);
    if (errno !== 0) throw failure('watching for keys', errno);
    // What the timer and the finalizer need, without the watcher itself, so
    // that a watcher nobody listens to can be collected.
    const state = { handle: handle[0], timer: drainTimer(new WeakRef(this)), event: Buffer.alloc(koffi.sizeof(KeyEvent)) };
    this._state = state;  // null once closed
    droppedWatchers.register(this, state, this);
    this.on('newListener', (name) => {
      if (name === 'attach' || name === 'detach') this._hold(true);
    });
  }

  // Whether changes come from the platform's notifications (else polling).
  get notified() {
    if (!this._state) return false;
    const notified = [0];
    const errno = native.watchNotified(this._state.handle, notified);
    if (errno !== 0) throw failure('watching for keys', errno);
    return notified[0] !== 0;
  }

  // Stops watching: no event is emitted once this returns, not even one the
  // kit had already queued. Safe from inside a listener; idempotent.
  close() {
    const state = this._state;
    if (!state) return;
    this._state = null;
    clearInterval(state.timer);
    listened.delete(this);
    droppedWatchers.unregister(this);
    native.stopWatch(state.handle);
    native.closeWatch(state.handle);
  }

  _hold(on) {
    if (!this._state) return;
    if (on) {
      this._state.timer.ref();
      listened.add(this);
    } else {
      this._state.timer.unref();
      listened.delete(this);
    }
  }

  _drain() {
    // Listeners removed since the last round let the process end.
    if (this.listenerCount('attach') + this.listenerCount('detach') === 0) this._hold(false);
    // One event at a time: a listener may close() the watcher between two.
    while (this._state) {
      const { handle, event } = this._state;
      const errno = native.nextEvent(handle, event, 0);
      if (errno === WAIT_TIMEOUT) return;
      if (errno !== 0) {
        this.close();
        if (errno !== ERROR_NO_MORE_ITEMS) this.emit('error', failure('watching for keys', errno));
        return;
      }
      const e = koffi.decode(event, KeyEvent);
      this.emit(e.what === KIT_ATTACHED ? 'attach' : 'detach', keyOf(e.key));
    }
  }
}

// Watches for keys coming and going. `interval` (ms): how often the keys are
// listed where the platform does not notify (default 250).
function watch(options) {
  return new KeyWatcher(options);
}

// The loaded Olvexlib.dll's file version ("1.0.4.0"), from its version
// resource's fixed part (signature FEEF04BD, then the version's two words).
let fileVersion;
function versionOf(file) {
  const image = fs.readFileSync(file);
  const at = image.indexOf(Buffer.from([0xbd, 0x04, 0xef, 0xfe]));
  if (at < 0 || at + 16 > image.length) return null;
  const ms = image.readUInt32LE(at + 8), ls = image.readUInt32LE(at + 12);
  return `${ms >>> 16}.${ms & 0xffff}.${ls >>> 16}.${ls & 0xffff}`;
}

module.exports = {
  get version() {
    if (fileVersion === undefined) fileVersion = versionOf(dllPath);
    return fileVersion;
  },
  enumerate, list, open, openSerial, keys, watch, Key, Transaction, KeyWatcher,
  OlvexError, KeyOpenError, KeyRemovedError, TimeoutError, AbortError,
  MAX_COMMAND, MAX_RESPONSE_BODY, MAX_TIMEOUT, dllPath, kitPath,
};
