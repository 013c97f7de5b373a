'use strict';
// exchange-rate.js SLOT SLOTS TURNS SHORT_COUNT LONG_COUNT: Key.exchange's time
// on keys 0 and 1, taking turns with the other programs of
// bench/bindings-bench.sh as bench/binding_rate.c describes.
const koffi = require('koffi');
const olvex = require('olvexlib');

const kernel32 = koffi.load('kernel32.dll');
const CreateEventA = kernel32.func('void * __stdcall CreateEventA(void *attributes, int manual, int initial, str name)');
const WaitForSingleObject = kernel32.func('uint32_t __stdcall WaitForSingleObject(void *handle, uint32_t ms)');
const SetEvent = kernel32.func('int __stdcall SetEvent(void *handle)');
const turn = (slot) => CreateEventA(null, 0, 0, `Local\\olvex-bench-turn-${slot}`);
const command = Buffer.from([0x80, 0x01, 0x02, 0x03]);
const WARM_UP = 25;  // turn 0 is this many turns long, as in binding_rate.c

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

const [slot, slots, turns, shortCount, longCount] = process.argv.slice(2).map(Number);
if (!longCount || olvex.enumerate() < 2) {
  console.error('usage: exchange-rate.js SLOT SLOTS TURNS SHORT_COUNT LONG_COUNT, with two keys plugged');
  process.exit(2);
}
const shortKey = olvex.open(0);
const longKey = olvex.open(1);
const mine = turn(slot);
const next = turn((slot + 1) % slots);
for (let t = 0; t <= turns; t++) {
  if ((t > 0 || slot > 0) && WaitForSingleObject(mine, 120000) !== 0) throw new Error('no turn within two minutes');
  const w = t === 0 ? WARM_UP : 1;
  const s = time(shortKey, w * shortCount);
  const l = time(longKey, w * longCount);
  const u = timeReusing(longKey, w * longCount);
  SetEvent(next);
  if (t > 0) console.log(`short ${s.toFixed(7)}\nlong ${l.toFixed(7)}\nreuse ${u.toFixed(7)}`);
}
shortKey.close();
longKey.close();
