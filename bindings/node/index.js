'use strict';
// The attached USB keys, opening one, and command exchanges, through koffi:
// listing from Olvexlib.dll, connections and time limits from Olvexkit.dll
// (olvexlib.hpp's, so that a Node.js program gives up on a key, cancels and
// closes exactly as a C++ one does). The package carries both DLLs for x64
// and x86; those matching this process are loaded.
const path = require('path');
const koffi = require('koffi');

const MAX_COMMAND = 65532;
const MAX_RESPONSE_BODY = 51195;
const PATH_BUFFER = 264;  // OLVEXKIT_PATH_BUFFER
const COPY_LIMIT = 4096;
const ASYNC_ROOMS = 4;  // libuv's threads by default
const NO_TIMEOUT = 0xFFFFFFFF;
const MAX_TIMEOUT = 0xFFFFFFFE;
const CLOSE_GRACE_MS = 2000;

const ERROR_INVALID_HANDLE = 6;
const ERROR_INVALID_PARAMETER = 87;
const WAIT_TIMEOUT = 258;
const ERROR_OPERATION_ABORTED = 995;
const ERROR_TIMEOUT = 1460;

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

// The exports are __stdcall on x86; koffi ignores it on x64. Buffers go in as
// raw pointers so that nothing is copied, and an asynchronous call writes
// straight into them from koffi's worker thread.
koffi.opaque('OLVEXKIT_Key');
const native = {
  enumDev: dll.func('int __stdcall OLVEX_EnumDEV(_Out_ int *count)'),
  getLastError: kernel32.func('uint32_t __stdcall GetLastError()'),
  open: kit.func('uint32_t __stdcall OLVEXKIT_Open(_Out_ OLVEXKIT_Key **key, int index, void *pathOut)'),
  exchange: kit.func('uint32_t __stdcall OLVEXKIT_Exchange(OLVEXKIT_Key *key, const void *command, ' +
                     'int commandLength, void *response, void *responseLength, void *status, uint32_t timeoutMs)'),
  exchangeCancellable: kit.func('uint32_t __stdcall OLVEXKIT_ExchangeCancellable(OLVEXKIT_Key *key, ' +
                                'const void *command, int commandLength, void *response, void *responseLength, ' +
                                'void *status, uint32_t timeoutMs, void *cancelled)'),
  cancel: kit.func('uint32_t __stdcall OLVEXKIT_Cancel(OLVEXKIT_Key *key)'),
  close: kit.func('uint32_t __stdcall OLVEXKIT_Close(OLVEXKIT_Key *key, uint32_t graceMs)'),
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
  258: 'EBUSY',
  995: 'ECANCELED',
  1460: 'ETIMEDOUT',
};
const reasons = {
  6: 'the connection is closed',
  258: 'another program held the key\'s lock; nothing was sent',
  995: 'cancelled',
  1460: 'the key did not answer in time',
};

// A failed call. `errno` is the Windows error code, `code` its name.
class OlvexError extends Error {
  constructor(what, errno) {
    super(`olvexlib: ${what} failed: Windows error ${errno}` + (reasons[errno] ? ` (${reasons[errno]})` : ''));
    this.name = 'OlvexError';
    this.errno = errno;
    this.code = codes[errno] || `WIN32_ERROR_${errno}`;
  }
}

// The key is listed but cannot be opened (e.g. unplugged since it was
// listed); `errno` is the platform's reason.
class KeyOpenError extends OlvexError {
  constructor(index, errno) {
    super(`opening key ${index}`, errno);
    this.name = 'KeyOpenError';
    this.index = index;
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

// The exchange was cancelled through its AbortSignal: errno 995, ECANCELED.
class AbortError extends OlvexError {
  constructor(what) {
    super(what, ERROR_OPERATION_ABORTED);
    this.name = 'AbortError';
  }
}

function failure(what, errno) {
  if (errno === WAIT_TIMEOUT || errno === ERROR_TIMEOUT) return new TimeoutError(what, errno);
  if (errno === ERROR_OPERATION_ABORTED) return new AbortError(what);
  return new OlvexError(what, errno);
}

// Rebuilds the list of attached keys; returns their number. Indexes
// 0..count-1, oldest first, are what open() takes until the next call.
function enumerate() {
  const count = [0];
  if (native.enumDev(count) !== 0) throw new OlvexError('listing keys', native.getLastError());
  return count[0];
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

// A connection the program dropped without close(): its native thread and
// handles go when it is collected. Only the native handle is held here.
const leaked = new FinalizationRegistry((handle) => native.close.async(handle, CLOSE_GRACE_MS, () => {}));

// A time limit in ms for the kit: none is the longest it takes, so that an
// untimed exchange still runs on the connection's thread and can be
// cancelled; fractions round up so that no limit expires at once.
function limitOf(timeout) {
  if (timeout === undefined) return MAX_TIMEOUT;
  if (typeof timeout !== 'number' || !(timeout > 0) || !Number.isFinite(timeout)) {
    throw new OlvexError(`the exchange (timeout ${String(timeout)} ms is not a positive number)`, ERROR_INVALID_PARAMETER);
  }
  return Math.min(Math.ceil(timeout), MAX_TIMEOUT);
}

class Key {
  constructor(handle, path) {
    this._handle = handle;  // null once close() was called
    this.path = path;
    this._spare = null;  // the answer room for the next synchronous exchange
    this._rooms = [];  // answer rooms for exchangeAsync(), kept as _spare is
    this._out = new Int32Array(2);  // [length, status] of synchronous exchanges
    this._pending = 0;  // exchangeAsync() calls not yet settled
    this._flags = new Set();  // their cancel flags, which close() raises
    this._closeLater = null;  // close()'s resolve, while exchanges are pending
    this._closed = null;  // close()'s promise
    leaked.register(this, handle, this);
  }

  // Sends one command (Buffer or Uint8Array, at most 65532 bytes) and waits
  // for the key's answer: { status, body }. Blocks this thread meanwhile, for
  // at most `timeout` ms when given (the same contract as exchangeAsync()).
  exchange(command, { timeout } = {}) {
    this._check(command);
    const limit = timeout === undefined ? NO_TIMEOUT : limitOf(timeout);
    // The kit answers into room for the longest body. A short body is copied
    // out and the room kept for the next exchange; a long one is handed over
    // in place, since copying it would cost a tenth of the exchange.
    const response = this._spare || Buffer.allocUnsafeSlow(MAX_RESPONSE_BODY);
    this._spare = null;
    const out = this._out;
    const errno = native.exchange(this._handle, command, command.length, response, out, out.subarray(1), limit);
    if (errno !== 0) {
      this._spare = response;
      throw failure('the exchange', errno);
    }
    const length = out[0];
    if (length > COPY_LIMIT) return { status: out[1], body: response.subarray(0, length) };
    this._spare = response;
    return { status: out[1], body: Buffer.from(response.subarray(0, length)) };
  }

  // For loops that must not allocate: the body lands at the start of
  // `response` (a Buffer or Uint8Array of at least MAX_RESPONSE_BODY bytes,
  // reusable); returns { status, body } with body a view of `response`.
  exchangeInto(command, response) {
    this._check(command);
    if (!(response instanceof Uint8Array) || response.length < MAX_RESPONSE_BODY) {
      throw new TypeError(`olvexlib: the response buffer must be a Buffer or Uint8Array of ${MAX_RESPONSE_BODY} bytes`);
    }
    const out = this._out;
    const errno = native.exchange(this._handle, command, command.length, response, out, out.subarray(1), NO_TIMEOUT);
    if (errno !== 0) throw failure('the exchange', errno);
    return { status: out[1], body: Buffer.from(response.buffer, response.byteOffset, out[0]) };
  }

  // As exchange(), off the event loop; resolves to { status, body }. The
  // `timeout` (ms) covers the whole call, waiting for the key's lock
  // included; `signal` (an AbortSignal) cancels it. See index.d.ts.
  exchangeAsync(command, { timeout, signal } = {}) {
    let limit;
    try {
      this._check(command);
      limit = limitOf(timeout);
      if (signal != null && !(typeof signal.aborted === 'boolean' && typeof signal.addEventListener === 'function')) {
        throw new TypeError('olvexlib: the signal must be an AbortSignal');
      }
      if (signal && signal.aborted) throw new AbortError('the exchange');
    } catch (e) {
      return Promise.reject(e);
    }
    const handle = this._handle;
    // koffi's thread reads and writes these until the callback: they stay
    // referenced by it. The command is a copy, so that the caller may reuse
    // its buffer at once.
    const sent = Buffer.from(command);
    const response = this._rooms.pop() || Buffer.allocUnsafeSlow(MAX_RESPONSE_BODY);
    const out = new Int32Array(2);
    // Raised before the cancel, so that an abort coming before koffi's
    // thread has reached the connection still ends the call.
    const cancelled = new Int32Array(1);
    this._pending++;
    this._flags.add(cancelled);
    return new Promise((resolve, reject) => {
      const onAbort = () => {
        cancelled[0] = 1;
        native.cancel(handle);
      };
      const done = (error, errno) => {
        if (signal) signal.removeEventListener('abort', onAbort);
        this._flags.delete(cancelled);
        this._settled();
        if (error || errno !== 0) {
          this._keepRoom(response);
          reject(error || failure('the exchange', errno));
          return;
        }
        const length = out[0];
        if (length > COPY_LIMIT) {
          resolve({ status: out[1], body: response.subarray(0, length) });
        } else {
          this._keepRoom(response);
          resolve({ status: out[1], body: Buffer.from(response.subarray(0, length)) });
        }
        void sent;
      };
      if (signal) signal.addEventListener('abort', onAbort, { once: true });
      try {
        native.exchangeCancellable.async(handle, sent, sent.length, response, out, out.subarray(1), limit, cancelled,
                                         done);
      } catch (e) {  // koffi's queue of asynchronous calls is full
        done(e);
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

  // Closes the connection: later calls fail with errno 6 at once. The native
  // close waits for the exchangeAsync() calls still pending, then up to 2 s
  // for an answer the key still owes, off the event loop. Returns a promise
  // that resolves (never rejects) once the connection is closed; callers may
  // ignore it.
  close() {
    if (this._closed) return this._closed;
    const handle = this._handle;
    this._handle = null;
    this._spare = null;
    this._rooms = [];
    leaked.unregister(this);
    // Pending calls end at once (ECANCELED), so that closing never waits on a
    // key that does not answer for longer than the grace; an answer they
    // asked for is still read and dropped.
    if (this._flags.size > 0) {
      for (const flag of this._flags) flag[0] = 1;
      native.cancel(handle);
    }
    const pending = this._pending > 0 ? new Promise((resolve) => { this._closeLater = resolve; }) : Promise.resolve();
    this._closed = pending.then(() => new Promise((resolve) => {
      native.close.async(handle, CLOSE_GRACE_MS, () => resolve());
    }));
    return this._closed;
  }
}

function openHandle(index) {
  if (!Number.isInteger(index)) throw new TypeError('olvexlib: the index must be an integer');
  const handle = [null];
  const pathOut = Buffer.alloc(PATH_BUFFER);
  const errno = native.open(handle, index, pathOut);
  if (errno !== 0) {
    // An index outside the listing is the caller's error; anything else is
    // the key's.
    if (errno === ERROR_INVALID_PARAMETER) throw new OlvexError(`opening key ${index}`, errno);
    throw new KeyOpenError(index, errno);
  }
  const end = pathOut.indexOf(0);
  return { handle: handle[0], path: pathOut.toString('latin1', 0, end < 0 ? PATH_BUFFER : end) };
}

// Opens key `index` of the last enumerate() or list().
function open(index) {
  const { handle, path: p } = openHandle(index);
  return new Key(handle, p);
}

module.exports = {
  enumerate, list, open, Key, OlvexError, KeyOpenError, TimeoutError, AbortError,
  MAX_COMMAND, MAX_RESPONSE_BODY, MAX_TIMEOUT, dllPath, kitPath,
};
