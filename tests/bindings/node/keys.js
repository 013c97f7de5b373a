'use strict';
// Keys that come and go, through the installed package: keys(), open(path),
// removed keys and the watcher's lifetime. Plugs keys of its own (serials
// nk-...) and unplugs them. Run with --expose-gc. Prints `completed: ...`
// last, and only when every check held.
const assert = require('assert');
const fs = require('fs');
const path = require('path');
const { spawnSync } = require('child_process');
const olvex = require('olvexlib');

const KEYSIM = path.join(__dirname, 'keysim.exe');
const { check, finish } = require('./harness').checks();

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));
const since = (start) => Number(process.hrtime.bigint() - start) / 1e6;

// Output through a file: node.exe under Wine and a key server left running
// are both better off without pipes.
function run(program, args, timeout = 60000) {
  const file = path.join(__dirname, `keys-out-${process.pid}.txt`);
  const fd = fs.openSync(file, 'w');
  try {
    const r = spawnSync(program, args, { stdio: ['ignore', fd, fd], timeout, cwd: __dirname });
    if (r.error && r.error.code !== 'ETIMEDOUT') throw r.error;
    return { status: r.status, timedOut: !!r.error, output: fs.readFileSync(file, 'utf8').trim() };
  } finally {
    fs.closeSync(fd);
  }
}
const plugged = new Set();
function plug(serial, ...options) {
  const r = run(KEYSIM, ['plug', '--serial', serial, ...options]);
  assert.strictEqual(r.status, 0, `keysim plug ${serial}: ${r.output}`);
  plugged.add(serial);
  return r.output.split(/\r?\n/).pop().trim();  // the device path
}
function unplug(serial) {
  const r = run(KEYSIM, ['unplug', '--serial', serial]);
  plugged.delete(serial);
  assert.strictEqual(r.status, 0, `keysim unplug ${serial}: ${r.output}`);
}
const ours = (keys) => keys.filter((k) => k.path.includes('#nk-'));

function isRemoved(e) {
  assert(e instanceof olvex.KeyRemovedError, `a KeyRemovedError, got ${e && e.stack}`);
  assert(e instanceof olvex.OlvexError);
  assert.strictEqual(e.errno, 1167);
  assert.strictEqual(e.code, 'ENODEV');
  return true;
}

// This process's threads, from a Toolhelp snapshot.
const koffi = require('koffi');
const kernel32 = koffi.load('kernel32.dll');
const snapshot = kernel32.func('void * __stdcall CreateToolhelp32Snapshot(uint32_t flags, uint32_t pid)');
const thread32First = kernel32.func('int __stdcall Thread32First(void *snapshot, void *entry)');
const thread32Next = kernel32.func('int __stdcall Thread32Next(void *snapshot, void *entry)');
const closeHandle = kernel32.func('int __stdcall CloseHandle(void *handle)');
function threadCount() {
  const TH32CS_SNAPTHREAD = 4;
  const s = snapshot(TH32CS_SNAPTHREAD, 0);
  const entry = Buffer.alloc(28);  // THREADENTRY32
  entry.writeUInt32LE(28, 0);
  let n = 0;
  try {
    for (let more = thread32First(s, entry); more; more = thread32Next(s, entry)) {
      if (entry.readUInt32LE(12) === process.pid) n++;  // th32OwnerProcessID
    }
  } finally {
    closeHandle(s);
  }
  assert(n > 0, 'no thread of this process in the snapshot');
  return n;
}

(async () => {
  await check('keys() lists the keys that open, oldest first, with their attach times, then the others with why', () => {
    const before = Date.now();
    const first = plug('nk-first');
    const refused = plug('nk-refused', '--behaviour', 'refuse');
    const second = plug('nk-second');
    const all = ours(olvex.keys());
    const keys = all.filter((k) => k.openable);
    assert.deepStrictEqual(keys.map((k) => k.path), [first, second]);
    assert.deepStrictEqual(keys.map((k) => typeof k.index), ['number', 'number']);
    const closed = all.filter((k) => !k.openable);
    assert.deepStrictEqual(closed.map((k) => k.path), [refused]);
    assert.strictEqual(closed[0].index, null);
    assert(closed[0].errno > 0 && closed[0].why.startsWith('it does not open: '), JSON.stringify(closed[0]));
    for (const k of keys) {
      assert(k.attached instanceof Date);
      // Registry times and Date.now() read the same clock, to the microsecond.
      assert(k.attached.getTime() >= before - 1000 && k.attached.getTime() <= Date.now() + 1000,
             `attached ${k.attached.toISOString()} is not within this check (${new Date(before).toISOString()} on)`);
    }
    assert(keys[0].attached < keys[1].attached);
    unplug('nk-refused');
  });

  await check('open(path) reaches the same key after others came and went and its index changed', async () => {
    const target = plug('nk-target');
    const indexBefore = olvex.list().indexOf(target);
    unplug('nk-first');
    plug('nk-after');
    assert.notStrictEqual(olvex.list().indexOf(target), indexBefore, 'the index to have changed');
    const key = olvex.open(target);
    try {
      assert.strictEqual(key.path, target);
      assert.deepStrictEqual(key.exchange(Buffer.from([7])).body, Buffer.from([7]));
      assert.deepStrictEqual((await key.exchangeAsync(Buffer.from([8]), { timeout: 2000 })).body, Buffer.from([8]));
    } finally {
      await key.close();
    }
    for (const [serial, requests] of [['nk-target', 2], ['nk-after', 0], ['nk-second', 0]]) {
      const r = run(KEYSIM, ['check', '--serial', serial, '--requests', String(requests)]);
      assert.strictEqual(r.status, 0, `keysim check ${serial} --requests ${requests}: ${r.output}`);
    }
  });

  await check('open(path) of a key that is no longer attached is KeyRemovedError, ENODEV', () => {
    const gone = olvex.keys().length;
    assert.throws(() => olvex.open('\\\\?\\usb#vid_1234&pid_5678#nk-first#{925fad44-e331-4116-b409-78fc2b51ea21}'),
                  isRemoved);
    assert.throws(() => olvex.open('not a device path'), isRemoved);
    assert.strictEqual(olvex.keys().length, gone);
  });

  await check('a key unplugged during a slow exchange rejects it with ENODEV, every later exchange too, and closes cleanly', async () => {
    for (const timeout of [undefined, 10000]) {
      const serial = `nk-slow-${timeout ? 'timed' : 'untimed'}`;
      const key = olvex.open(plug(serial, '--latency', '2000'));
      try {
        const start = process.hrtime.bigint();
        const pending = key.exchangeAsync(Buffer.from([1]), { timeout });
        await sleep(300);
        unplug(serial);
        await assert.rejects(pending, isRemoved);
        assert(since(start) < 2000, `to fail once unplugged, not after the answer's 2 s (${since(start)} ms)`);
        assert.throws(() => key.exchange(Buffer.from([2])), isRemoved);
        await assert.rejects(key.exchangeAsync(Buffer.from([3]), { timeout: 1000 }), isRemoved);
      } finally {
        const closing = process.hrtime.bigint();
        await key.close();
        assert(since(closing) < 1500, `close to be prompt, took ${since(closing)} ms`);
      }
    }
  });

  await check('watch() refuses an interval that is not a positive number', () => {
    for (const interval of [0, -1, NaN, Infinity, '100', null]) {
      assert.throws(() => olvex.watch({ interval }), (e) => e instanceof olvex.OlvexError && e.errno === 87);
    }
  });

  await check('a watcher reports polling under Wine, and closes idempotently, without a further event', async () => {
    const w = olvex.watch({ interval: 50 });
    assert(w instanceof olvex.KeyWatcher);
    assert.strictEqual(w.notified, false);
    const seen = [];
    w.on('attach', (k) => seen.push(k.path));
    await sleep(500);
    const present = ours(olvex.keys()).map((k) => k.path);
    assert(present.length > 0);
    assert.deepStrictEqual(seen.filter((p) => p.includes('#nk-')), present);
    w.close();
    w.close();
    assert.strictEqual(w.notified, false);
    const before = seen.length;
    plug('nk-late');
    await sleep(500);
    assert.strictEqual(seen.length, before, `no event after close(), saw ${seen.slice(before)}`);
  });

  await check('a watcher dropped without close() ends its native watching once collected', async () => {
    // Watchers closed by hand first: the threads of the system's pool they
    // bring up stay a while, and belong in the count to come back to.
    const closed = Array.from({ length: 4 }, () => olvex.watch({ interval: 50 }));
    await sleep(300);
    for (const w of closed) w.close();
    const base = threadCount();
    (() => { for (let i = 0; i < 4; i++) olvex.watch({ interval: 50 }); })();
    await sleep(300);
    const watching = threadCount();
    assert(watching >= base + 4, `a thread per native watcher (${base} -> ${watching})`);
    let now = watching;
    for (let i = 0; i < 50 && now > base; i++) {
      global.gc();
      await sleep(100);
      now = threadCount();
    }
    assert(now <= base, `the watchers' threads to end once collected: ${base} before, ${watching} watching, ${now} after`);
  });

  // A script of its own: what keeps it running is the point.
  const node = (code) => run(process.execPath, ['-e', code], 30000);
  await check('a script that only watches, without listeners, exits by itself', () => {
    const r = node("const w = require('olvexlib').watch(); w.on('attach', function once() { w.off('attach', once); });");
    assert(!r.timedOut, `the script to end by itself: ${r.output}`);
    assert.strictEqual(r.status, 0, r.output);
    const bare = node("require('olvexlib').watch({ interval: 50 });");
    assert(!bare.timedOut && bare.status === 0, `the bare watcher's script to end by itself: ${bare.output}`);
  });

  await check('a watcher with listeners keeps its script alive until it is closed', () => {
    const r = node("const w = require('olvexlib').watch(); w.on('detach', () => {}); " +
                   "setTimeout(() => { w.close(); console.log('still here'); }, 1000).unref();");
    assert(!r.timedOut && r.status === 0, `exit 0 by itself: ${r.output}`);
    assert.strictEqual(r.output, 'still here');
  });

  for (const serial of [...plugged]) {
    try { unplug(serial); } catch (e) { console.log(`(${e.message})`); }
  }
  finish(`node keys coming and going ${process.arch}`);
})().catch((e) => {
  console.log(`FAIL  ${e.stack}`);
  process.exitCode = 1;
});
