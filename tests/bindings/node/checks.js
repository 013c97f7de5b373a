'use strict';
// The Node.js package, installed from its .tgz, against the virtual keys that
// node-test.sh plugs, in this order: echo, length 51197, wrong-lead, echo
// with 400 ms latency, silent, and one the checks unplug. Prints `completed: ...` last, and only when every check
// held.
const assert = require('assert');
const path = require('path');
const { execFileSync } = require('child_process');
const olvex = require('olvexlib');

const ECHO = 0, LONG = 1, WRONG_LEAD = 2, SLOW = 3, SILENT = 4, GONE = 5, KEY_COUNT = 6;
const SERIALS = ['bn-echo', 'bn-long', 'bn-wrong', 'bn-slow', 'bn-silent', 'bn-gone'];
let checks = 0, failures = 0;

async function check(name, body) {
  checks++;
  try {
    await body();
    console.log(`ok    ${name}`);
  } catch (e) {
    failures++;
    console.log(`FAIL  ${name}: ${e.stack}`);
  }
}

function throwsWindowsError(errno, action) {
  assert.throws(action, (e) => {
    assert(e instanceof olvex.OlvexError, `an OlvexError, got ${e}`);
    assert(!(e instanceof olvex.KeyOpenError), 'a plain failure, not a KeyOpenError');
    assert.strictEqual(e.errno, errno, `Windows error ${errno}, got ${e.errno} (${e.message})`);
    return true;
  });
}

async function rejectsWithWindowsError(errno, promise) {
  await assert.rejects(promise, (e) => {
    assert(e instanceof olvex.OlvexError, `an OlvexError, got ${e}`);
    assert.strictEqual(e.errno, errno, `Windows error ${errno}, got ${e.errno} (${e.message})`);
    return true;
  });
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
    throwsWindowsError(87, () => olvex.open(KEY_COUNT));
    throwsWindowsError(87, () => olvex.open(-1));
    throwsWindowsError(87, () => echo.exchange(Buffer.alloc(olvex.MAX_COMMAND + 1)));
    assert.throws(() => echo.exchange('text'), TypeError);
    assert.strictEqual(echo.exchange(Buffer.from([1])).status, 0x9000);
  });

  await check('a refused response fails with ERROR_INVALID_DATA', () => {
    const wrong = olvex.open(WRONG_LEAD);
    try {
      throwsWindowsError(13, () => wrong.exchange(Buffer.from([1, 2, 3])));
    } finally {
      wrong.close();
    }
  });

  await check('a closed connection cannot be used, and closing twice is harmless', () => {
    const key = olvex.open(ECHO);
    key.close();
    key.close();
    assert.throws(() => key.exchange(Buffer.from([1])), /closed/);
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

  await check('an asynchronous exchange answers while the event loop goes on', async () => {
    const slow = olvex.open(SLOW);
    try {
      let ticks = 0;
      const ticker = setInterval(() => ticks++, 20);
      const command = Buffer.from([9, 8, 7]);
      const pending = slow.exchangeAsync(command);
      command[0] = 0;  // the command was taken when the call was made
      const r = await pending;
      clearInterval(ticker);
      assert.strictEqual(r.status, 0x9000);
      assert.deepStrictEqual(r.body, Buffer.from([9, 8, 7]));
      assert(ticks >= 5, `timers to run during the 400 ms exchange, ${ticks} ran`);
      const [a, b] = await Promise.all([slow.exchangeAsync(Buffer.from([1])), longKey.exchangeAsync(Buffer.from([0x10]))]);
      assert.deepStrictEqual(a.body, Buffer.from([1]));
      assert.strictEqual(b.body.length, olvex.MAX_RESPONSE_BODY);
      assert.strictEqual(b.body[100], 0x74);
    } finally {
      slow.close();
    }
  });

  await check('an asynchronous exchange reports failures with the Windows error code', async () => {
    const wrong = olvex.open(WRONG_LEAD);
    try {
      await rejectsWithWindowsError(13, wrong.exchangeAsync(Buffer.from([1, 2, 3])));
      await rejectsWithWindowsError(87, wrong.exchangeAsync(Buffer.alloc(olvex.MAX_COMMAND + 1)));
      await assert.rejects(wrong.exchangeAsync(Buffer.from([1]), { timeout: 0 }), RangeError);
    } finally {
      wrong.close();
    }
  });

  await check('a timeout ends a silent exchange and leaves the connection usable', async () => {
    const silent = olvex.open(SILENT);
    try {
      for (let round = 0; round < 2; round++) {
        const start = Date.now();
        await assert.rejects(silent.exchangeAsync(Buffer.from([1]), { timeout: 200 }), (e) => {
          assert(e instanceof olvex.TimeoutError, `a TimeoutError, got ${e}`);
          assert.strictEqual(e.errno, 995);
          return true;
        });
        const seconds = (Date.now() - start) / 1000;
        assert(seconds >= 0.19 && seconds < 5, `to give up after 200 ms, took ${seconds} s`);
      }
      const pending = silent.exchangeAsync(Buffer.from([1]), { timeout: 100 });
      assert.throws(() => silent.close(), /pending/);
      await pending.catch(() => {});
    } finally {
      silent.close();
    }
  });

  await check('a timeout longer than the answer changes nothing, and does not outlive its exchange', async () => {
    const slow = olvex.open(SLOW);
    try {
      const command = Buffer.from([3, 4]);
      assert.deepStrictEqual((await slow.exchangeAsync(command, { timeout: 10000 })).body, command);
      // Answered at 400 ms; were its timer left running, it would cancel the
      // next exchange on this connection's thread 200 ms into it.
      assert.deepStrictEqual((await slow.exchangeAsync(command, { timeout: 600 })).body, command);
      assert.deepStrictEqual((await slow.exchangeAsync(command)).body, command);
    } finally {
      slow.close();
    }
  });

  echo.close();
  longKey.close();

  if (failures > 0) {
    console.log(`${failures} of ${checks} checks failed`);
    process.exitCode = 1;
  } else {
    console.log(`completed: node binding ${process.arch}, ${checks} checks`);
  }
})().catch((e) => {
  console.log(`FAIL  ${e.stack}`);
  process.exitCode = 1;
});
