'use strict';
// The Node.js package, installed from its .tgz, against the virtual keys that
// node-test.sh plugs, in this order: echo, length 51197, wrong-lead, and one
// the checks unplug. Prints `completed: ...` last, and only when every check
// held.
const assert = require('assert');
const path = require('path');
const { execFileSync } = require('child_process');
const olvex = require('olvexlib');

const ECHO = 0, LONG = 1, WRONG_LEAD = 2, GONE = 3, KEY_COUNT = 4;
const SERIALS = ['bn-echo', 'bn-long', 'bn-wrong', 'bn-gone'];
let checks = 0, failures = 0;

function check(name, body) {
  checks++;
  try {
    body();
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

function bytes(n, seed) {
  const b = Buffer.alloc(n);
  for (let i = 0; i < n; i++) b[i] = (i * 7 + seed) & 0xff;
  return b;
}

check('loads the DLL of this process\'s architecture from the package', () => {
  const folder = { x64: 'win32-x64', ia32: 'win32-ia32' }[process.arch];
  assert.strictEqual(path.basename(path.dirname(olvex.dllPath)), folder);
  assert(olvex.dllPath.includes('node_modules'), `the installed package, got ${olvex.dllPath}`);
});

check('lists the plugged keys oldest first', () => {
  assert.strictEqual(olvex.enumerate(), KEY_COUNT);
  const paths = olvex.list();
  assert.strictEqual(paths.length, KEY_COUNT);
  paths.forEach((p, i) => assert(p.startsWith('\\\\?\\usb#') && p.includes(`#${SERIALS[i]}#`),
                                  `key ${i} to be ${SERIALS[i]}, got ${p}`));
});

const echo = olvex.open(ECHO);
const longKey = olvex.open(LONG);

check('a short exchange returns the status word and the body', () => {
  const command = Buffer.from([0x80, 0xca, 0x9f, 0x7f, 0x00]);
  const r = echo.exchange(command);
  assert.strictEqual(r.status, 0x9000);
  assert(Buffer.isBuffer(r.body));
  assert.deepStrictEqual(r.body, command);
  assert.strictEqual(echo.exchange(new Uint8Array(0)).body.length, 0);
});

check('the longest body arrives whole, and the longest command is sent whole', () => {
  let r = longKey.exchange(Buffer.from([0x10]));
  assert.strictEqual(r.body.length, olvex.MAX_RESPONSE_BODY);
  for (let i = 0; i < r.body.length; i++) if (r.body[i] !== ((i + 0x10) & 0xff)) assert.fail(`body byte ${i} differs`);
  // A key answers a malformed request with 6700, so 9000 means it got all of it.
  r = longKey.exchange(bytes(olvex.MAX_COMMAND, 0x30));
  assert.strictEqual(r.status, 0x9000);
  assert.strictEqual(r.body.length, olvex.MAX_RESPONSE_BODY);
  assert.strictEqual(r.body[0], 0x30);
});

check('each body is the caller\'s own: later exchanges leave earlier bodies alone', () => {
  const shortOne = echo.exchange(Buffer.from('first answer'));
  const longOne = longKey.exchange(Buffer.from([0x10]));
  echo.exchange(Buffer.from('second, longer answer'));
  longKey.exchange(Buffer.from([0x20]));
  assert.strictEqual(shortOne.body.toString(), 'first answer');
  assert.strictEqual(longOne.body[0], 0x10);
  assert.strictEqual(longOne.body[100], 0x74);
});

check('an exchange into the caller\'s buffer fills it, and refuses one too small for any body', () => {
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

check('bad arguments fail with ERROR_INVALID_PARAMETER', () => {
  throwsWindowsError(87, () => olvex.open(KEY_COUNT));
  throwsWindowsError(87, () => olvex.open(-1));
  throwsWindowsError(87, () => echo.exchange(Buffer.alloc(olvex.MAX_COMMAND + 1)));
  assert.throws(() => echo.exchange('text'), TypeError);
  assert.strictEqual(echo.exchange(Buffer.from([1])).status, 0x9000);
});

check('a refused response fails with ERROR_INVALID_DATA', () => {
  const wrong = olvex.open(WRONG_LEAD);
  try {
    throwsWindowsError(13, () => wrong.exchange(Buffer.from([1, 2, 3])));
  } finally {
    wrong.close();
  }
});

check('a closed connection cannot be used, and closing twice is harmless', () => {
  const key = olvex.open(ECHO);
  key.close();
  key.close();
  assert.throws(() => key.exchange(Buffer.from([1])), /closed/);
});

check('a key unplugged since listing raises KeyOpenError with the platform\'s code', () => {
  assert.strictEqual(olvex.enumerate(), KEY_COUNT);
  execFileSync(path.join(__dirname, 'keysim.exe'), ['unplug', '--serial', SERIALS[GONE]], { stdio: 'ignore' });
  assert.throws(() => olvex.open(GONE), (e) => {
    assert(e instanceof olvex.KeyOpenError, `a KeyOpenError, got ${e}`);
    assert.strictEqual(e.errno, 2, `ERROR_FILE_NOT_FOUND, got ${e.errno}`);
    assert.strictEqual(e.index, GONE);
    return true;
  });
});

echo.close();
longKey.close();

if (failures > 0) {
  console.log(`${failures} of ${checks} checks failed`);
  process.exitCode = 1;
} else {
  console.log(`completed: node binding ${process.arch}, ${checks} checks`);
}
