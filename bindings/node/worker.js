'use strict';
// One connection's exchangeAsync() calls, on a thread of their own: the event
// loop never blocks, and a timeout can cancel the blocked read, since
// CancelSynchronousIo needs the thread doing it. One call at a time.
const { parentPort, workerData } = require('worker_threads');
const koffi = require('koffi');

const dll = koffi.load(workerData.dllPath);
const kernel32 = koffi.load('kernel32.dll');
// The connection comes as its address: koffi pointers do not cross threads.
const doCommand = dll.func('int __stdcall OLVEX_DoCommand(intptr_t connection, const void *command, ' +
                           'int commandLength, void *response, int *responseLength)');
const getLastError = kernel32.func('uint32_t __stdcall GetLastError()');
const getCurrentThreadId = kernel32.func('uint32_t __stdcall GetCurrentThreadId()');

const length = new Int32Array(1);
parentPort.postMessage({ threadId: getCurrentThreadId() });
parentPort.on('message', ({ command }) => {
  // A fresh buffer each time: it is handed to the main thread, not copied.
  const response = new Uint8Array(workerData.maxBody);
  const status = doCommand(workerData.connection, command, command.length, response, length);
  if (status === -1) {
    parentPort.postMessage({ status, errno: getLastError() });
  } else {
    parentPort.postMessage({ status, body: response, length: length[0] }, [response.buffer]);
  }
});
