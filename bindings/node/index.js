'use strict';
// Olvexlib.dll through koffi: the attached USB keys, opening one, and command
// exchanges. The package carries the x64 and x86 DLLs; the one matching this
// process is loaded.
const path = require('path');
const { Worker } = require('worker_threads');
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
  openThread: kernel32.func('void * __stdcall OpenThread(uint32_t access, int inherit, uint32_t threadId)'),
  cancelSynchronousIo: kernel32.func('int __stdcall CancelSynchronousIo(void *thread)'),
  closeHandle: kernel32.func('int __stdcall CloseHandle(void *handle)'),
};
const THREAD_TERMINATE = 0x0001;  // the access CancelSynchronousIo needs
const ERROR_OPERATION_ABORTED = 995;

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

// exchangeAsync() gave up waiting: the key did not answer within the timeout.
// `errno` is ERROR_OPERATION_ABORTED, `code` ETIMEDOUT.
class TimeoutError extends OlvexError {
  constructor(ms) {
    super('the exchange', ERROR_OPERATION_ABORTED);
    this.message = `olvexlib: the key did not answer within ${ms} ms`;
    this.name = 'TimeoutError';
    this.code = 'ETIMEDOUT';
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
    this._queue = Promise.resolve();  // exchangeAsync() calls, one after another
    this._pending = 0;
    this._worker = null;  // a promise of the thread running them, made on first use
    this._thread = null;  // that thread's handle, for cancelling
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

  // As exchange(), on a thread of this connection's own, so that the event
  // loop goes on; resolves to { status, body }. Calls on one Key run one
  // after another. With `timeout` (ms), a key that has not answered by then
  // is given up on: the promise rejects with a TimeoutError and the
  // connection stays usable, though the late answer may reach the next
  // exchange. The timeout starts when the call's turn comes.
  exchangeAsync(command, { timeout } = {}) {
    try {
      this._check(command);
      if (timeout !== undefined && timeout !== Infinity && !(timeout > 0)) {
        throw new RangeError('olvexlib: a timeout must be a positive number of milliseconds');
      }
    } catch (e) {
      return Promise.reject(e);
    }
    const copy = Uint8Array.from(command);  // the caller may reuse its buffer meanwhile
    const run = this._queue.then(() => this._runAsync(copy, timeout));
    this._queue = run.catch(() => {});
    this._pending++;
    return run.finally(() => this._pending--);
  }

  _startWorker() {
    if (!this._worker) {
      this._worker = new Promise((resolve, reject) => {
        const worker = new Worker(path.join(__dirname, 'worker.js'), {
          workerData: { dllPath, connection: koffi.address(this._handle), maxBody: MAX_RESPONSE_BODY },
        });
        worker.once('error', reject);
        worker.once('message', ({ threadId }) => {
          worker.off('error', reject);
          worker.unref();
          this._thread = native.openThread(THREAD_TERMINATE, 0, threadId);
          if (!this._thread) {
            const errno = native.getLastError();
            worker.terminate();
            reject(new OlvexError('preparing the exchange thread', errno));
            return;
          }
          resolve(worker);
        });
      });
    }
    return this._worker;
  }

  async _runAsync(command, timeout) {
    const worker = await this._startWorker();
    worker.ref();  // an exchange under way keeps the process alive
    try {
      return await new Promise((resolve, reject) => {
        let timer = null, cancelling = null, cancelled = false;
        // Cancels again every few ms until the answer comes: a cancel that
        // lands before the read has started is lost. No cancel can follow
        // the answer, since both run on this thread.
        if (timeout !== undefined && timeout !== Infinity) {
          timer = setTimeout(() => {
            cancelled = true;
            native.cancelSynchronousIo(this._thread);
            cancelling = setInterval(() => native.cancelSynchronousIo(this._thread), 10);
          }, timeout);
        }
        const done = () => {
          clearTimeout(timer);
          clearInterval(cancelling);
          worker.off('message', onMessage);
          worker.off('error', onError);
          worker.off('exit', onExit);
        };
        const onMessage = (m) => {
          done();
          if (m.status !== FAIL) {
            resolve({ status: m.status, body: Buffer.from(m.body.buffer, m.body.byteOffset, m.length) });
          } else if (cancelled && m.errno === ERROR_OPERATION_ABORTED) {
            reject(new TimeoutError(timeout));
          } else {
            reject(new OlvexError('the exchange', m.errno));
          }
        };
        const onError = (e) => {
          done();
          reject(e);
        };
        const onExit = () => onError(new Error('olvexlib: the exchange thread ended'));
        worker.on('message', onMessage);
        worker.on('error', onError);
        worker.on('exit', onExit);
        worker.postMessage({ command });
      });
    } finally {
      worker.unref();
    }
  }

  _check(command) {
    if (!this._handle) throw new Error('olvexlib: the connection is closed');
    if (!(command instanceof Uint8Array)) throw new TypeError('olvexlib: the command must be a Buffer or Uint8Array');
  }

  // Closes the connection. Not while an exchangeAsync() is pending: await it
  // first.
  close() {
    if (!this._handle) return;
    if (this._pending > 0) throw new Error('olvexlib: close() while an exchangeAsync() is pending');
    leaked.unregister(this);
    if (this._worker) {
      this._worker.then((worker) => worker.terminate(), () => {});
      this._worker = null;
    }
    if (this._thread) {
      native.closeHandle(this._thread);
      this._thread = null;
    }
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

module.exports = { enumerate, list, open, Key, OlvexError, KeyOpenError, TimeoutError, MAX_COMMAND, MAX_RESPONSE_BODY, dllPath };
