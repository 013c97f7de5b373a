'use strict';
// The Node.js package, installed from its .tgz, against the virtual keys that
// node-test.sh plugs, in this order: echo, length 51197, wrong-lead, echo
// with 400 ms latency, silent, one the checks unplug, and a silent one whose
// connection is dropped. Timed exchanges on fresh keys are the scenario
// table's (scenarios.js); these are the binding's own. Run with --expose-gc.
// Prints `completed: ...` last, and only when every check held.
const assert = require('assert');
const fs = require('fs');
const path = require('path');
const { execFileSync, spawnSync } = require('child_process');
const { getEventListeners } = require('events');
const olvex = require('olvexlib');

const ECHO = 0, LONG = 1, WRONG_LEAD = 2, SLOW = 3, SILENT = 4, GONE = 5, DROPPED = 6, KEY_COUNT = 7;
const SERIALS = ['bn-echo', 'bn-long', 'bn-wrong', 'bn-slow', 'bn-silent', 'bn-gone', 'bn-dropped'];
const KEYSIM = path.join(__dirname, 'keysim.exe');
const { check, finish } = require('./harness').checks();

function throwsWindowsError(errno, action) {
  assert.throws(action, (e) => {
    assert(e instanceof olvex.OlvexError, `an OlvexError, got ${e}`);
    assert(!(e instanceof olvex.KeyOpenError), 'a plain failure, not a KeyOpenError');
    assert.strictEqual(e.errno, errno, `Windows error ${errno}, got ${e.errno} (${e.message})`);
    return true;
  });
}

async function rejectsWithWindowsError(errno, promise, kind = olvex.OlvexError, code = undefined) {
  await assert.rejects(promise, (e) => {
    assert(e instanceof kind, `a ${kind.name}, got ${e}`);
    assert.strictEqual(e.errno, errno, `Windows error ${errno}, got ${e.errno} (${e.message})`);
    if (code !== undefined) assert.strictEqual(e.code, code);
    return true;
  });
}

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));
const since = (start) => Number(process.hrtime.bigint() - start) / 1e6;

// A program's output through a file: node.exe under Wine and a key server
// left running are both better off without pipes.
function runTo(program, args) {
  const file = path.join(__dirname, 'program-out.txt');
  const fd = fs.openSync(file, 'w');
  try {
    const r = spawnSync(program, args, { stdio: ['ignore', fd, fd], timeout: 60000, cwd: __dirname });
    if (r.error) throw r.error;
    return { status: r.status, output: fs.readFileSync(file, 'utf8').trim() };
  } finally {
    fs.closeSync(fd);
  }
}
const keysim = (...args) => runTo(KEYSIM, args);
// A script of its own on node.exe, with `olvex` loaded.
const script = (body) => runTo(process.execPath, ['-e', `const olvex = require('olvexlib');\n${body}`]);

function requestsOf(serial) {
  const { status, output } = keysim('stats', '--serial', serial);
  const m = /requests=(\d+)/.exec(output);
  assert(status === 0 && m, `keysim stats: ${output}`);
  return Number(m[1]);
}

function bytes(n, seed) {
  const b = Buffer.alloc(n);
  for (let i = 0; i < n; i++) b[i] = (i * 7 + seed) & 0xff;
  return b;
}

(async () => {
  await check('loads the DLL of this process\'s architecture from the package', () => {
    const folder = { x64: 'win32-x64', ia32: 'win32-ia32' }[process.arch];
    assert.strictEqual(path.basename(path.dirname(olvex.dllPath)), folder);
    assert(olvex.dllPath.includes('node_modules'), `the installed package, got ${olvex.dllPath}`);
  });

  await check('lists the plugged keys oldest first', () => {
    assert.strictEqual(olvex.enumerate(), KEY_COUNT);
    const paths = olvex.list();
    assert.strictEqual(paths.length, KEY_COUNT);
    paths.forEach((p, i) => assert(p.startsWith('\\\\?\\usb#') && p.includes(`#${SERIALS[i]}#`),
                                    `key ${i} to be ${SERIALS[i]}, got ${p}`));
  });

  const echo = olvex.open(ECHO);
  const longKey = olvex.open(LONG);

  await check('a short exchange returns the status word and the body', () => {
    const command = Buffer.from([0x80, 0xca, 0x9f, 0x7f, 0x00]);
    const r = echo.exchange(command);
    assert.strictEqual(r.status, 0x9000);
    assert(Buffer.isBuffer(r.body));
    assert.deepStrictEqual(r.body, command);
    assert.strictEqual(echo.exchange(new Uint8Array(0)).body.length, 0);
  });

  await check('the longest body arrives whole, and the longest command is sent whole', () => {
    let r = longKey.exchange(Buffer.from([0x10]));
    assert.strictEqual(r.body.length, olvex.MAX_RESPONSE_BODY);
    for (let i = 0; i < r.body.length; i++) if (r.body[i] !== ((i + 0x10) & 0xff)) assert.fail(`body byte ${i} differs`);
    // A key answers a malformed request with 6700, so 9000 means it got all of it.
    r = longKey.exchange(bytes(olvex.MAX_COMMAND, 0x30));
    assert.strictEqual(r.status, 0x9000);
    assert.strictEqual(r.body.length, olvex.MAX_RESPONSE_BODY);
    assert.strictEqual(r.body[0], 0x30);
  });

  await check('each body is the caller\'s own: later exchanges leave earlier bodies alone', () => {
    const shortOne = echo.exchange(Buffer.from('first answer'));
    const longOne = longKey.exchange(Buffer.from([0x10]));
    echo.exchange(Buffer.from('second, longer answer'));
    longKey.exchange(Buffer.from([0x20]));
    assert.strictEqual(shortOne.body.toString(), 'first answer');
    assert.strictEqual(longOne.body[0], 0x10);
    assert.strictEqual(longOne.body[100], 0x74);
  });

  await check('an exchange into the caller\'s buffer fills it, and refuses one too small for any body', () => {
    const response = Buffer.alloc(olvex.MAX_RESPONSE_BODY);
    let r = echo.exchangeInto(Buffer.from([5, 6]), response);
    assert.strictEqual(r.status, 0x9000);
    assert.deepStrictEqual(r.body, Buffer.from([5, 6]));
    assert.strictEqual(r.body.buffer, response.buffer);
    assert.deepStrictEqual(response.subarray(0, 2), Buffer.from([5, 6]));
    r = longKey.exchangeInto(Buffer.from([0x40]), new Uint8Array(olvex.MAX_RESPONSE_BODY));
    assert.strictEqual(r.body.length, olvex.MAX_RESPONSE_BODY);
    assert.strictEqual(r.body[r.body.length - 1], (0x40 + r.body.length - 1) & 0xff);
    assert.throws(() => echo.exchangeInto(Buffer.from([1]), Buffer.alloc(olvex.MAX_RESPONSE_BODY - 1)), TypeError);
  });

  await check('bad arguments fail with ERROR_INVALID_PARAMETER', () => {
    for (const index of [KEY_COUNT, -1]) {
      assert.throws(() => olvex.open(index), (e) => e instanceof RangeError && e.errno === 87 &&
                    e.message.includes(`the last listing had ${KEY_COUNT} key(s)`));
    }
    assert.throws(() => olvex.open({}), TypeError);
    throwsWindowsError(87, () => echo.exchange(Buffer.alloc(olvex.MAX_COMMAND + 1)));
    assert.throws(() => echo.exchange('text'), TypeError);
    assert.strictEqual(echo.exchange(Buffer.from([1])).status, 0x9000);
  });

  await check('a refused response fails with ERROR_INVALID_DATA', async () => {
    const wrong = olvex.open(WRONG_LEAD);
    try {
      throwsWindowsError(13, () => wrong.exchange(Buffer.from([1, 2, 3])));
      assert.throws(() => wrong.exchange(Buffer.from([1])), /answer was refused: not a frame/);
    } finally {
      await wrong.close();
    }
  });

  await check('close() returns at once, ends pending calls first, and then every call fails with ERROR_INVALID_HANDLE', async () => {
    const key = olvex.open(SILENT);
    let settled = false;
    const pending = key.exchangeAsync(Buffer.from([1])).finally(() => { settled = true; });
    pending.catch(() => {});  // awaited below, after the close
    await sleep(100);  // sent: the key owes its answer to the close's grace
    const start = process.hrtime.bigint();
    const closing = key.close();
    assert(since(start) < 50, `close() not to block the event loop, took ${since(start)} ms`);
    assert(closing instanceof Promise);
    assert.strictEqual(key.close(), closing);
    throwsWindowsError(6, () => key.exchange(Buffer.from([1])));
    throwsWindowsError(6, () => key.exchangeInto(Buffer.from([1]), Buffer.alloc(olvex.MAX_RESPONSE_BODY)));
    await rejectsWithWindowsError(6, key.exchangeAsync(Buffer.from([1])));
    assert.strictEqual(await closing, undefined);
    assert(settled, 'closed before the pending call settled');
    await rejectsWithWindowsError(995, pending, olvex.AbortError, 'ECANCELED');
  });

  await check('a key unplugged since listing raises KeyOpenError with the platform\'s code', () => {
    assert.strictEqual(olvex.enumerate(), KEY_COUNT);
    execFileSync(path.join(__dirname, 'keysim.exe'), ['unplug', '--serial', SERIALS[GONE]], { stdio: 'ignore' });
    assert.throws(() => olvex.open(GONE), (e) => {
      assert(e instanceof olvex.KeyOpenError, `a KeyOpenError, got ${e}`);
      assert.strictEqual(e.errno, 2, `ERROR_FILE_NOT_FOUND, got ${e.errno}`);
      assert.strictEqual(e.index, GONE);
      return true;
    });
  });

  await check('an asynchronous exchange takes its command at the call, and later ones leave its body alone', async () => {
    const slow = olvex.open(SLOW);
    try {
      const command = Buffer.from([9, 8, 7]);
      const pending = slow.exchangeAsync(command);
      command[0] = 0;
      const r = await pending;
      assert.strictEqual(r.status, 0x9000);
      assert.deepStrictEqual(r.body, Buffer.from([9, 8, 7]));
      const [a, b] = await Promise.all([slow.exchangeAsync(Buffer.from([1])), longKey.exchangeAsync(Buffer.from([0x10]))]);
      assert.strictEqual(b.body.length, olvex.MAX_RESPONSE_BODY);
      // Answer rooms are reused: earlier bodies must not change.
      await Promise.all([slow.exchangeAsync(Buffer.from([2, 2, 2])), longKey.exchangeAsync(Buffer.from([0x20]))]);
      assert.deepStrictEqual(r.body, Buffer.from([9, 8, 7]));
      assert.deepStrictEqual(a.body, Buffer.from([1]));
      assert.strictEqual(b.body[0], 0x10);
      assert.strictEqual(b.body[100], 0x74);
    } finally {
      await slow.close();
    }
  });

  await check('an asynchronous exchange reports failures with the Windows error code, and closes promptly after them', async () => {
    const wrong = olvex.open(WRONG_LEAD);
    try {
      await rejectsWithWindowsError(13, wrong.exchangeAsync(Buffer.from([1, 2, 3])));
      await rejectsWithWindowsError(13, wrong.exchangeAsync(Buffer.from([1, 2, 3]), { timeout: 2000 }));
      await rejectsWithWindowsError(87, wrong.exchangeAsync(Buffer.alloc(olvex.MAX_COMMAND + 1)));
      await assert.rejects(wrong.exchangeAsync('text'), TypeError);
      await assert.rejects(wrong.exchangeAsync(Buffer.from([1]), { signal: {} }), TypeError);
    } finally {
      const start = process.hrtime.bigint();
      await wrong.close();
      assert(since(start) < 1500, `close to find nothing owed, took ${since(start)} ms`);
    }
  });

  await check('a time limit that is not a positive number is refused before anything is sent; a huge one is clamped', async () => {
    const before = requestsOf(SERIALS[ECHO]);
    for (const timeout of [0, -5, NaN, Infinity]) {
      await rejectsWithWindowsError(87, echo.exchangeAsync(Buffer.from([1]), { timeout }), olvex.OlvexError, 'EINVAL');
    }
    for (const timeout of ['100', null]) await assert.rejects(echo.exchangeAsync(Buffer.from([1]), { timeout }), TypeError);
    assert.strictEqual(requestsOf(SERIALS[ECHO]), before);
    for (const timeout of [1000.5, 2 ** 31, 2 ** 40]) {
      assert.deepStrictEqual((await echo.exchangeAsync(Buffer.from([7]), { timeout })).body, Buffer.from([7]));
    }
  });

  await check('an already aborted signal rejects with AbortError before anything is sent', async () => {
    const before = requestsOf(SERIALS[ECHO]);
    const controller = new AbortController();
    controller.abort();
    await rejectsWithWindowsError(995, echo.exchangeAsync(Buffer.from([1]), { signal: controller.signal }),
                                  olvex.AbortError, 'ECANCELED');
    await rejectsWithWindowsError(995, echo.exchangeAsync(Buffer.from([1]), { timeout: 1000, signal: controller.signal }),
                                  olvex.AbortError, 'ECANCELED');
    // A reason given to abort() is what the call rejects with, as fetch does.
    const reason = new Error('the user went away');
    const given = new AbortController();
    given.abort(reason);
    await assert.rejects(echo.exchangeAsync(Buffer.from([1]), { signal: given.signal }), (e) => e === reason);
    assert.strictEqual(requestsOf(SERIALS[ECHO]), before);
    assert.deepStrictEqual((await echo.exchangeAsync(Buffer.from([2]))).body, Buffer.from([2]));
  });

  await check('an AbortSignal ends its call even in the same tick, and is let go once its call settles', async () => {
    const slow = olvex.open(SLOW);
    try {
      for (let i = 0; i < 5; i++) {
        const now = new AbortController();
        const call = slow.exchangeAsync(Buffer.from([2]), { signal: now.signal });
        now.abort();
        const at = process.hrtime.bigint();
        await rejectsWithWindowsError(995, call, olvex.AbortError, 'ECANCELED');
        assert(since(at) < 390, `to end before the 400 ms answer, took ${since(at)} ms`);
      }
      const later = new AbortController(), reason = { why: 'mine' };
      const call = slow.exchangeAsync(Buffer.from([2]), { timeout: 5000, signal: later.signal });
      setTimeout(() => later.abort(reason), 50);
      await assert.rejects(call, (e) => e === reason);
      const kept = new AbortController();
      await slow.exchangeAsync(Buffer.from([3]), { signal: kept.signal });
      assert.strictEqual(getEventListeners(kept.signal, 'abort').length, 0);
    } finally {
      await slow.close();
    }
  });

  await check('a connection dropped without close() releases the key once collected', async () => {
    // Left owing a silent key's answer, a connection keeps the key's lock
    // until it is closed: another connection's timed exchange gets 258.
    const openDropped = () => olvex.open(olvex.list().findIndex((p) => p && p.includes(`#${SERIALS[DROPPED]}#`)));
    await (async () => {
      const key = openDropped();
      await rejectsWithWindowsError(1460, key.exchangeAsync(Buffer.from([1]), { timeout: 100 }), olvex.TimeoutError);
    })();
    const other = openDropped();
    try {
      await rejectsWithWindowsError(258, other.exchangeAsync(Buffer.from([0x0b]), { timeout: 300 }), olvex.TimeoutError);
      const start = process.hrtime.bigint();
      let errno;
      do {
        global.gc();
        await sleep(100);
        errno = await other.exchangeAsync(Buffer.from([0x0b]), { timeout: 300 }).catch((e) => e.errno);
      } while (errno === 258 && since(start) < 10000);
      assert.strictEqual(errno, 1460, 'the lock to be had (and the silent key to keep silent) once the dropped connection was collected');
    } finally {
      await other.close();
    }
  });

  await check('six hundred calls that settle together while the event loop is blocked all settle', async () => {
    // Their completions wait on as many of the system's threads for the loop.
    const slow = olvex.open(SLOW);
    try {
      const calls = Array.from({ length: 600 }, () => slow.exchangeAsync(Buffer.from([1]), { timeout: 100 })
        .then(() => 0, (e) => e.errno));
      Atomics.wait(new Int32Array(new SharedArrayBuffer(4)), 0, 0, 2500);
      const got = await Promise.all(calls);
      assert(got.every((errno) => [0, 258, 1460].includes(errno)), `outcomes ${[...new Set(got)]}`);
    } finally {
      await slow.close();
    }
  });

  await check('a pending call keeps a script alive, and ending with completions in flight crashes nothing', () => {
    const slowPath = olvex.list()[SLOW];
    // The loop would be empty but for the call: it must still print.
    let r = script(`olvex.open(${JSON.stringify(slowPath)}).exchangeAsync(Buffer.from([7])).then((r) => console.log('answered', r.body[0]));`);
    assert(r.status === 0 && /^answered 7$/m.test(r.output) && !/wine: Unhandled/.test(r.output), `exit ${r.status}: ${r.output}`);
    // process.exit() as forty calls settle together on the pool.
    r = script(`const key = olvex.open(${JSON.stringify(slowPath)});
      for (let i = 0; i < 40; i++) key.exchangeAsync(Buffer.from([i]), { timeout: 150 }).catch(() => {});
      setTimeout(() => process.exit(0), 150);`);
    assert(r.status === 0 && !/wine: Unhandled/.test(r.output), `exit ${r.status}: ${r.output}`);
  });

  await check('a worker that ends with a call pending (terminated or by an uncaught error) closes its own connection, holds up no call of the main thread, and the process ends well', () => {
    const [echoPath, slowPath] = [olvex.list()[ECHO], olvex.list()[SLOW]];
    for (const end of ['await w.terminate()', 'w.postMessage("throw"); await new Promise((resolve) => w.once("exit", resolve))']) {
      const r = script(`const { Worker } = require('worker_threads');
        const fs = require('fs');
        const { spawnSync } = require('child_process');
        // Handles open to the slow key, as keysim sees them.
        const openOnSlow = () => {
          const fd = fs.openSync('stats-out.txt', 'w');
          spawnSync('keysim.exe', ['stats', '--serial', ${JSON.stringify(SERIALS[SLOW])}], { stdio: ['ignore', fd, fd] });
          fs.closeSync(fd);
          return Number(/open=(\\d+)/.exec(fs.readFileSync('stats-out.txt', 'utf8'))[1]);
        };
        const before = openOnSlow();
        const w = new Worker(\`const olvex = require('olvexlib');
          const { parentPort, workerData } = require('worker_threads');
          olvex.open(workerData).exchangeAsync(Buffer.from([7])).catch(() => {});
          parentPort.on('message', () => { throw new Error('the worker ends'); });
          parentPort.postMessage('started');\`, { eval: true, workerData: ${JSON.stringify(slowPath)} });
        w.on('error', () => {});
        w.once('message', async () => {
          await new Promise((resolve) => setTimeout(resolve, 100));
          ${end};
          // Its connection is closed once it has ended: keysim sees that
          // when its server thread next looks.
          const until = Date.now() + 3000;
          while (openOnSlow() !== before && Date.now() < until) await new Promise((resolve) => setTimeout(resolve, 100));
          console.log(openOnSlow() === before ? "the worker's key closed" : "the worker's key still open");
          // The slow key has answered the worker's call meanwhile.
          await new Promise((resolve) => setTimeout(resolve, 600));
          const key = olvex.open(${JSON.stringify(echoPath)});
          const start = Date.now();
          const r = await key.exchangeAsync(Buffer.from([8]), { timeout: 1000 });
          console.log('settled', r.body[0], 'after', Date.now() - start, 'ms');
          await key.close();
          console.log('ended');
        });`);
      assert(r.status === 0 && /^settled 8 after \d+ ms$/m.test(r.output) && /^ended$/m.test(r.output) &&
             /^the worker's key closed$/m.test(r.output) &&
             !/wine: Unhandled/.test(r.output), `${end}: exit ${r.status}: ${r.output}`);
    }
  });

  await check('a worker whose event loop is busy for 3 s delays no completion of the main thread by more than 500 ms', () => {
    const [echoPath, slowPath] = [olvex.list()[ECHO], olvex.list()[SLOW]];
    const r = script(`const { Worker } = require('worker_threads');
      const w = new Worker(\`const olvex = require('olvexlib');
        const { parentPort, workerData } = require('worker_threads');
        const key = olvex.open(workerData);
        key.exchangeAsync(Buffer.from([5])).then(() => key.close());
        parentPort.postMessage('busy');
        const end = Date.now() + 3000;
        while (Date.now() < end);\`, { eval: true, workerData: ${JSON.stringify(echoPath)} });
      w.once('message', async () => {
        const key = olvex.open(${JSON.stringify(slowPath)});
        const start = Date.now();
        await key.exchangeAsync(Buffer.from([9]));
        console.log('settled after', Date.now() - start, 'ms');
        await key.close();
      });`);
    const m = /^settled after (\d+) ms$/m.exec(r.output);
    assert(r.status === 0 && m, `exit ${r.status}: ${r.output}`);
    // The key answers in 400 ms.
    assert(Number(m[1]) <= 900, `settled after ${m[1]} ms`);
  });

  await check('a new program: an index before any listing says so; the DLL\'s version is readable', () => {
    const r = script(`try { olvex.open(0); } catch (e) { console.log(e.constructor.name, e.errno, e.message); }
      console.log('version', olvex.version);`);
    assert(/^RangeError 87 olvexlib: open\(0\) before any listing in this process/m.test(r.output), r.output);
    assert(/^version 1\.0\.4\.0$/m.test(r.output), r.output);
  });

  await check('a transaction: one at a time per key, the key\'s own synchronous exchange refused meanwhile, and nothing once it ended', async () => {
    const key = olvex.open(olvex.list()[ECHO]);
    let inside = null;
    const result = await key.transaction(async (tx) => {
      inside = tx;
      assert.strictEqual(tx.exchange(Buffer.from([0x01, 0x02])).body[1], 0x02);
      await rejectsWithWindowsError(170, key.transaction(async () => {}));
      throwsWindowsError(170, () => key.exchange(Buffer.from([0x01])));
      const waiting = key.exchangeAsync(Buffer.from([0x0b]));  // goes once the transaction ends
      assert.strictEqual((await tx.exchangeAsync(Buffer.from([0x01]))).status, 0x9000);
      return { waiting };  // not awaited inside: it waits for the end
    });
    assert.strictEqual((await result.waiting).body[0], 0x0b);
    throwsWindowsError(6, () => inside.exchange(Buffer.from([0x01])));
    await assert.rejects(key.transaction(async () => { throw new Error('mine'); }), /mine/);
    assert.strictEqual(key.exchange(Buffer.from([0x01])).status, 0x9000, 'a throw ended it too');
    await key.close();
  });

  await Promise.all([echo.close(), longKey.close()]);

  finish(`node binding ${process.arch}`);
})().catch((e) => {
  console.log(`FAIL  ${e.stack}`);
  process.exitCode = 1;
});
