'use strict';
// Olvexlib.dll through koffi: the attached USB keys, opening one, and command
// exchanges. The package carries the x64 and x86 DLLs; the one matching this
// process is loaded.
const path = require('path');
const koffi = require('koffi');

const MAX_COMMAND = 65532;
const MAX_RESPONSE_BODY = 51195;
const PATH_SIZE = 260;
const FAIL = -1;
const ERR_OPEN = 0x10001;
const COPY_LIMIT = 4096;

const folders = { x64: 'win32-x64', ia32: 'win32-ia32' };
if (process.platform !== 'win32' || !folders[process.arch]) {
  throw new Error(`olvexlib: no Olvexlib.dll for ${process.platform}-${process.arch} (Windows x64 and x86 only)`);
}
// Electron apps must keep the DLL out of the asar archive (asarUnpack).
const dllPath = path.join(__dirname.replace(/\.asar([\\/])/, '.asar.unpacked$1'), folders[process.arch],
                          'Olvexlib.dll');
const dll = koffi.load(dllPath);
const kernel32 = koffi.load('kernel32.dll');

// The exports are __stdcall on x86; koffi ignores it on x64. Buffers go in as
// raw pointers so that nothing is copied.
const Connection = koffi.opaque('OLVEX_Connection');
const native = {
  enumDev: dll.func('int __stdcall OLVEX_EnumDEV(_Out_ int *count)'),
  connect: dll.func('int __stdcall OLVEX_Connect(_Out_ OLVEX_Connection **connection, void *pathOut, int index)'),
  doCommand: dll.func('int __stdcall OLVEX_DoCommand(OLVEX_Connection *connection, const void *command, ' +
                      'int commandLength, void *response, int *responseLength)'),
  disconnect: dll.func('int __stdcall OLVEX_Disconnect(OLVEX_Connection *connection)'),
  // koffi keeps each thread's last error intact between its calls.
  getLastError: kernel32.func('uint32_t __stdcall GetLastError()'),
};

const names = {
  2: 'ERROR_FILE_NOT_FOUND',
  5: 'ERROR_ACCESS_DENIED',
  6: 'ERROR_INVALID_HANDLE',
  8: 'ERROR_NOT_ENOUGH_MEMORY',
  13: 'ERROR_INVALID_DATA',
  87: 'ERROR_INVALID_PARAMETER',
  109: 'ERROR_BROKEN_PIPE',
  995: 'ERROR_OPERATION_ABORTED',
};

// A failed call. `errno` is the Windows error code (GetLastError), `code` its
// name when known.
class OlvexError extends Error {
  constructor(what, errno) {
    super(`olvexlib: ${what} failed: Windows error ${errno}` + (names[errno] ? ` (${names[errno]})` : ''));
    this.name = 'OlvexError';
    this.errno = errno;
    this.code = names[errno] || `WIN32_ERROR_${errno}`;
  }
}

// OLVEX_Connect's OLVEX_ERR_OPEN: the key is listed but cannot be opened
// (e.g. unplugged since it was listed); `errno` is the platform's reason.
class KeyOpenError extends OlvexError {
  constructor(index, errno) {
    super(`opening key ${index}`, errno);
    this.name = 'KeyOpenError';
    this.index = index;
  }
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
      const key = open(i);
      paths.push(key.path);
      key.close();
    } catch (e) {
      if (!(e instanceof KeyOpenError)) throw e;
      paths.push(null);
    }
  }
  return paths;
}

// A connection not closed by the program is closed when collected.
const leaked = new FinalizationRegistry((handle) => native.disconnect(handle));

class Key {
  constructor(handle, path) {
    this._handle = handle;
    this.path = path;
    this._spare = null;  // the answer buffer for the next exchange
    this._length = new Int32Array(1);
    leaked.register(this, handle, this);
  }

  // Sends one command (Buffer or Uint8Array, at most 65532 bytes) and waits
  // for the key's answer: { status, body }. Blocks this thread meanwhile.
  exchange(command) {
    this._check(command);
    // The DLL answers into room for the longest body. A short body is copied
    // out and the room kept for the next exchange; a long one is handed over
    // in place, since copying it would cost a tenth of the exchange.
    const response = this._spare || Buffer.allocUnsafeSlow(MAX_RESPONSE_BODY);
    this._spare = null;
    const status = native.doCommand(this._handle, command, command.length, response, this._length);
    if (status === FAIL) {
      this._spare = response;
      throw new OlvexError('the exchange', native.getLastError());
    }
    const length = this._length[0];
    if (length > COPY_LIMIT) return { status, body: response.subarray(0, length) };
    this._spare = response;
    return { status, body: Buffer.from(response.subarray(0, length)) };
  }

  // For loops that must not allocate: the body lands at the start of
  // `response` (a Buffer or Uint8Array of at least MAX_RESPONSE_BODY bytes,
  // reusable); returns { status, body } with body a view of `response`.
  exchangeInto(command, response) {
    this._check(command);
    if (!(response instanceof Uint8Array) || response.length < MAX_RESPONSE_BODY) {
      throw new TypeError(`olvexlib: the response buffer must be a Buffer or Uint8Array of ${MAX_RESPONSE_BODY} bytes`);
    }
    const status = native.doCommand(this._handle, command, command.length, response, this._length);
    if (status === FAIL) throw new OlvexError('the exchange', native.getLastError());
    return { status, body: Buffer.from(response.buffer, response.byteOffset, this._length[0]) };
  }

  _check(command) {
    if (!this._handle) throw new Error('olvexlib: the connection is closed');
    if (!(command instanceof Uint8Array)) throw new TypeError('olvexlib: the command must be a Buffer or Uint8Array');
  }

  close() {
    if (!this._handle) return;
    leaked.unregister(this);
    const handle = this._handle;
    this._handle = null;
    if (native.disconnect(handle) !== 0) throw new OlvexError('closing the connection', native.getLastError());
  }
}

// Opens key `index` of the last enumerate() or list().
function open(index) {
  if (!Number.isInteger(index)) throw new TypeError('olvexlib: the index must be an integer');
  const handle = [null];
  const pathOut = Buffer.alloc(PATH_SIZE);  // zero-filled: the path comes without terminator
  const result = native.connect(handle, pathOut, index);
  if (result !== 0) {
    const errno = native.getLastError();
    if (result === ERR_OPEN) throw new KeyOpenError(index, errno);
    throw new OlvexError(`opening key ${index}`, errno);
  }
  const end = pathOut.indexOf(0);
  return new Key(handle[0], pathOut.toString('latin1', 0, end < 0 ? PATH_SIZE : end));
}

module.exports = { enumerate, list, open, Key, OlvexError, KeyOpenError, MAX_COMMAND, MAX_RESPONSE_BODY, dllPath };
