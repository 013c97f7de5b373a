'use strict';
// exchange-rate.js SLOT SLOTS TURNS SHORT_COUNT LONG_COUNT: Key.exchange's time
// on keys 0 and 1, taking turns with the other programs of
// bench/bindings-bench.sh as bench/binding_rate.c describes. Each turn also
// times SHORT_COUNT short exchanges through exchangeAsync with a 5 s limit
// ("timed") and without one ("untimed"), so that each compares with the
// synchronous "short" of the same turn (the two run in either order, turn by
// turn). Where the time goes: "kitsync" calls OLVEXKIT_Exchange with the 5 s
// limit on this thread (the hop to the connection's thread and back alone),
// "relay" hands a callback to the system's thread pool and waits for koffi to
// bring it back to this thread (the completion's way alone, no key).
const koffi = require('koffi');
const olvex = require('olvexlib');

const kernel32 = koffi.load('kernel32.dll');
const CreateEventA = kernel32.func('void * __stdcall CreateEventA(void *attributes, int manual, int initial, str name)');
const WaitForSingleObject = kernel32.func('uint32_t __stdcall WaitForSingleObject(void *handle, uint32_t ms)');
const SetEvent = kernel32.func('int __stdcall SetEvent(void *handle)');
const turn = (slot) => CreateEventA(null, 0, 0, `Local\\olvex-bench-turn-${slot}`);
const command = Buffer.from([0x80, 0x01, 0x02, 0x03]);
const WARM_UP = 25;  // turn 0 is this many turns long, as in binding_rate.c
const pause = new Int32Array(new SharedArrayBuffer(4));
const settle = () => Atomics.wait(pause, 0, 0, 20);  // as binding_rate.c's Sleep(20)

function time(key, count) {
  const start = process.hrtime.bigint();
  for (let i = 0; i < count; i++) {
    if (key.exchange(command).status !== 0x9000) throw new Error('unexpected status');
  }
  return Number(process.hrtime.bigint() - start) / 1e9;
}

function timeReusing(key, count) {
  const response = Buffer.alloc(olvex.MAX_RESPONSE_BODY);
  const start = process.hrtime.bigint();
  for (let i = 0; i < count; i++) {
    if (key.exchangeInto(command, response).status !== 0x9000) throw new Error('unexpected status');
  }
  return Number(process.hrtime.bigint() - start) / 1e9;
}

async function timeAsync(exchange, count) {
  const start = process.hrtime.bigint();
  for (let i = 0; i < count; i++) {
    if ((await exchange()).status !== 0x9000) throw new Error('unexpected status');
  }
  return Number(process.hrtime.bigint() - start) / 1e9;
}

// The kit's timed exchange on this thread, on a connection of its own to key `index`.
function kitSync(index) {
  const kit = koffi.load(olvex.kitPath);
  const open = kit.func('uint32_t __stdcall OLVEXKIT_Open(_Out_ void **key, int index, void *pathOut)');
  const exchange = kit.func('uint32_t __stdcall OLVEXKIT_Exchange(void *key, const void *command, int commandLength, ' +
                            'void *response, void *responseLength, void *status, uint32_t timeoutMs)');
  const close = kit.func('uint32_t __stdcall OLVEXKIT_Close(void *key, uint32_t graceMs)');
  const key = [null];
  if (open(key, index, null) !== 0) throw new Error('OLVEXKIT_Open');
  const response = Buffer.alloc(olvex.MAX_RESPONSE_BODY);
  const out = new Int32Array(2);
  return {
    exchange: async () => {
      if (exchange(key[0], command, command.length, response, out, out.subarray(1), 5000) !== 0) throw new Error('exchange');
      return { status: out[1] };
    },
    end: () => close(key[0], 2000),
  };
}

// A completion's way without a key: the system's pool calls a registered
// callback, which koffi relays to this thread.
function relay() {
  const Work = koffi.proto('void __stdcall RelayWork(void *instance, uintptr_t context)');
  const submit = kernel32.func('int __stdcall TrySubmitThreadpoolCallback(RelayWork *work, uintptr_t context, void *environment)');
  let resolve = null;
  const work = koffi.register(() => resolve({ status: 0x9000 }), koffi.pointer(Work));
  return () => new Promise((r) => {
    resolve = r;
    if (!submit(work, 0, null)) throw new Error('TrySubmitThreadpoolCallback');
  });
}

(async () => {
  const [slot, slots, turns, shortCount, longCount] = process.argv.slice(2).map(Number);
  if (!longCount || olvex.enumerate() < 2) {
    console.error('usage: exchange-rate.js SLOT SLOTS TURNS SHORT_COUNT LONG_COUNT, with two keys plugged');
    process.exit(2);
  }
  const shortKey = olvex.open(0);
  const longKey = olvex.open(1);
  const kit = kitSync(0);
  const relayed = relay();
  // The relay's pool callback holds the loop open no more than a call would.
  const keepAlive = setInterval(() => {}, 1000);
  const timed = () => shortKey.exchangeAsync(command, { timeout: 5000 });
  const untimed = () => shortKey.exchangeAsync(command);
  const mine = turn(slot);
  const next = turn((slot + 1) % slots);
  for (let t = 0; t <= turns; t++) {
    if ((t > 0 || slot > 0) && WaitForSingleObject(mine, 120000) !== 0) throw new Error('no turn within two minutes');
    settle();
    const w = t === 0 ? WARM_UP : 1;
    let s, a;
    if (t % 2) {
      s = time(shortKey, w * shortCount);
      a = await timeAsync(timed, w * shortCount);
    } else {
      a = await timeAsync(timed, w * shortCount);
      s = time(shortKey, w * shortCount);
    }
    const l = time(longKey, w * longCount);
    const u = timeReusing(longKey, w * longCount);
    const n = await timeAsync(untimed, w * shortCount);
    const k = await timeAsync(kit.exchange, w * shortCount);
    const r = await timeAsync(relayed, w * shortCount);
    SetEvent(next);
    if (t > 0) {
      console.log(`short ${s.toFixed(7)}\nlong ${l.toFixed(7)}\nreuse ${u.toFixed(7)}\n` +
                  `timed ${a.toFixed(7)}\nuntimed ${n.toFixed(7)}\nkitsync ${k.toFixed(7)}\nrelay ${r.toFixed(7)}`);
    }
  }
  clearInterval(keepAlive);
  kit.end();
  await Promise.all([shortKey.close(), longKey.close()]);
})().catch((e) => {
  console.error(e.stack);
  process.exitCode = 1;
});
