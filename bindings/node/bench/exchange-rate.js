'use strict';
// exchange-rate.js SLOT SLOTS TURNS SHORT_COUNT LONG_COUNT: Key.exchange's time
// on keys 0 and 1, taking turns with the other programs of
// bench/bindings-bench.sh as bench/binding_rate.c describes. Each turn also
// times SHORT_COUNT short exchanges through exchangeAsync with a 5 s limit
// ("timed"), exchangeAsync without one ("untimed"), and the asynchronous path
// the binding had before Olvexkit.dll ("worker": a worker thread of the
// connection's own running OLVEX_DoCommand, a 5 s timer armed per call), so
// that each compares with the synchronous "short" of the same turn. Where the
// time goes: "kitsync" calls OLVEXKIT_Exchange with the 5 s limit on this
// thread (the kit's hop to the connection's thread alone), "plainasync"
// through koffi's asynchronous call without a limit (koffi's hop alone).
const { Worker } = require('worker_threads');
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

async function timeAsync(exchange, count) {
  const start = process.hrtime.bigint();
  for (let i = 0; i < count; i++) {
    if ((await exchange()).status !== 0x9000) throw new Error('unexpected status');
  }
  return Number(process.hrtime.bigint() - start) / 1e9;
}

// The former exchangeAsync(): its own connection to key `index`, on a worker
// thread, one call at a time.
function workerPath(index) {
  const worker = new Worker(`
    const { parentPort, workerData } = require('worker_threads');
    const koffi = require('koffi');
    const dll = koffi.load(workerData.dllPath);
    const enumDev = dll.func('int __stdcall OLVEX_EnumDEV(_Out_ int *count)');
    const connect = dll.func('int __stdcall OLVEX_Connect(_Out_ void **connection, void *pathOut, int index)');
    const doCommand = dll.func('int __stdcall OLVEX_DoCommand(void *connection, const void *command, ' +
                               'int commandLength, void *response, int *responseLength)');
    const connection = [null];
    if (enumDev([0]) !== 0 || connect(connection, Buffer.alloc(260), workerData.index) !== 0) throw new Error('connect');
    const length = new Int32Array(1);
    parentPort.on('message', ({ command }) => {
      const response = new Uint8Array(workerData.maxBody);
      const status = doCommand(connection[0], command, command.length, response, length);
      parentPort.postMessage({ status, body: response, length: length[0] }, [response.buffer]);
    });
    parentPort.postMessage('ready');`, {
    eval: true,
    workerData: { dllPath: olvex.dllPath, index, maxBody: olvex.MAX_RESPONSE_BODY },
  });
  const ready = new Promise((resolve, reject) => {
    worker.once('message', resolve);
    worker.once('error', reject);
  });
  const exchange = () => new Promise((resolve) => {
    const timer = setTimeout(() => {}, 5000);
    worker.once('message', (m) => {
      clearTimeout(timer);
      resolve({ status: m.status, body: Buffer.from(m.body.buffer, 0, m.length) });
    });
    worker.postMessage({ command: Uint8Array.from(command) });
  });
  return { ready, exchange, end: () => worker.terminate() };
}

// The kit's export itself, on a connection of its own to key `index`.
function rawKit(index) {
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
    timedSync: () => {
      if (exchange(key[0], command, command.length, response, out, out.subarray(1), 5000) !== 0) throw new Error('exchange');
      return { status: out[1] };
    },
    plainAsync: () => new Promise((resolve, reject) => {
      exchange.async(key[0], command, command.length, response, out, out.subarray(1), 0xFFFFFFFF,
                     (e, errno) => (e || errno ? reject(e || new Error(`errno ${errno}`)) : resolve({ status: out[1] })));
    }),
    end: () => close(key[0], 2000),
  };
}

(async () => {
  const [slot, slots, turns, shortCount, longCount] = process.argv.slice(2).map(Number);
  if (!longCount || olvex.enumerate() < 2) {
    console.error('usage: exchange-rate.js SLOT SLOTS TURNS SHORT_COUNT LONG_COUNT, with two keys plugged');
    process.exit(2);
  }
  const shortKey = olvex.open(0);
  const longKey = olvex.open(1);
  const old = workerPath(0);
  await old.ready;
  const raw = rawKit(0);
  const timed = () => shortKey.exchangeAsync(command, { timeout: 5000 });
  const untimed = () => shortKey.exchangeAsync(command);
  const mine = turn(slot);
  const next = turn((slot + 1) % slots);
  for (let t = 0; t <= turns; t++) {
    if ((t > 0 || slot > 0) && WaitForSingleObject(mine, 120000) !== 0) throw new Error('no turn within two minutes');
    const w = t === 0 ? WARM_UP : 1;
    const s = time(shortKey, w * shortCount);
    const l = time(longKey, w * longCount);
    const u = timeReusing(longKey, w * longCount);
    const a = await timeAsync(timed, w * shortCount);
    const n = await timeAsync(untimed, w * shortCount);
    const o = await timeAsync(old.exchange, w * shortCount);
    const k = await timeAsync(async () => raw.timedSync(), w * shortCount);
    const p = await timeAsync(raw.plainAsync, w * shortCount);
    SetEvent(next);
    if (t > 0) {
      console.log(`short ${s.toFixed(7)}\nlong ${l.toFixed(7)}\nreuse ${u.toFixed(7)}\n` +
                  `timed ${a.toFixed(7)}\nuntimed ${n.toFixed(7)}\nworker ${o.toFixed(7)}\n` +
                  `kitsync ${k.toFixed(7)}\nplainasync ${p.toFixed(7)}`);
    }
  }
  await old.end();
  raw.end();
  await Promise.all([shortKey.close(), longKey.close()]);
})().catch((e) => {
  console.error(e.stack);
  process.exitCode = 1;
});
