'use strict';
// transactions.js TABLE SERIAL_PREFIX: the transaction table (its header says
// what a row means) through the installed package, one freshly plugged key
// per row (serial PREFIX-ROW). keysim.exe and olvex.exe are beside this file.
// Prints `ok NAME` or `FAILED NAME: why` per row, and `completed: ...` last
// only when every row passed.
// transactions.js --owner PATH READY HOW: the child of an owner step: inside
// its transaction, one exchange answered, then the named event READY set and
// one more exchange sent, which it waits for until it is killed (HOW killed),
// or gives 100 ms and then ends the program, all left open (HOW exit).
const { runRows } = require('./harness');
const fs = require('fs');
const os = require('os');
const path = require('path');
const { spawn, spawnSync } = require('child_process');
const koffi = require('koffi');
const olvex = require('olvexlib');

const KEYSIM = path.join(__dirname, 'keysim.exe');
const OLVEX = path.join(__dirname, 'olvex.exe');
const kernel32 = koffi.load('kernel32.dll');
const CreateEventA = kernel32.func('void * __stdcall CreateEventA(void *attributes, int manual, int initial, str name)');
const OpenEventA = kernel32.func('void * __stdcall OpenEventA(uint32_t access, int inherit, str name)');
const SetEvent = kernel32.func('int __stdcall SetEvent(void *event)');
const WaitForSingleObject = kernel32.func('uint32_t __stdcall WaitForSingleObject(void *handle, uint32_t ms)');
const CloseHandle = kernel32.func('int __stdcall CloseHandle(void *handle)');
const EVENT_MODIFY_STATE = 2;

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));
const sinceMs = (start) => Number(process.hrtime.bigint() - start) / 1e6;

if (process.argv[2] === '--owner') {
  const [, , , keyPath, ready, how] = process.argv;
  (async () => {
    const key = olvex.open(keyPath);
    await key.transaction(async (tx) => {
      tx.exchange(Buffer.from([0x01]));
      const event = OpenEventA(EVENT_MODIFY_STATE, 0, ready);
      if (!event) process.exit(6);
      SetEvent(event);
      if (how === 'exit') {
        try {
          tx.exchange(Buffer.from([0x01]), { timeout: 100 });
        } catch (e) {
          // Left open on purpose: the program's end must give the owed answer its grace.
          process.exit(e.errno === 1460 ? 0 : 7);
        }
        process.exit(7);
      }
      await tx.exchangeAsync(Buffer.from([0x01]));
      await new Promise(() => setInterval(() => {}, 1000));
    });
  })().catch(() => process.exit(5));
  return;
}

// Output goes to a file: node.exe is picky about pipes under Wine.
const logPath = path.join(os.tmpdir(), `olvex-transactions-${process.pid}.log`);
const log = fs.openSync(logPath, 'w+');
function run(program, args) {
  const from = fs.fstatSync(log).size;
  const r = spawnSync(program, args, { stdio: ['ignore', log, log], timeout: 60000, windowsHide: true });
  const text = Buffer.alloc(fs.fstatSync(log).size - from);
  fs.readSync(log, text, 0, text.length, from);
  if (r.error) throw new Error(`${path.basename(program)} ${args[0]}: ${r.error.message}`);
  return { status: r.status, output: text.toString() };
}
const keysim = (...args) => run(KEYSIM, args);

// The key's requests, oldest first: the process that sent each.
function requestLog(serial) {
  const r = keysim('log', '--serial', serial);
  if (r.status !== 0) throw new Error(`keysim log exited ${r.status}`);
  return [...r.output.matchAll(/^request \d+ connection \d+ process (\d+)/gm)].map((m) => Number(m[1]));
}

async function seesMore(serial, seen) {
  for (let i = 0; i < 1000; i++, await sleep(20)) if (requestLog(serial).length > seen) return true;
  return false;
}

// Empty when the requests not made by `hammer` are `n` in a row, with the
// hammer's before and after them.
function together(serial, hammer, n) {
  const processes = requestLog(serial);
  const order = processes.map((p) => (p === hammer ? 'h' : 'T')).join('');
  const first = order.indexOf('T'), last = order.lastIndexOf('T');
  const count = order.split('T').length - 1;
  if (count !== n) return `${count} requests besides the hammer's: ${order}`;
  if (last - first + 1 !== n) return `another program's request came between: ${order}`;
  if (first === 0 || last + 1 === order.length) return `the hammer did not run around them: ${order}`;
  return '';
}

// What a call came to: 0, or the Windows code (or what was wrong with the error).
async function codeOf(call) {
  try {
    const r = await call();
    return r && r.status !== undefined && !(r.status === 0x9000 && r.body[0] === 0x01) ? 'another answer' : 0;
  } catch (e) {
    return e instanceof olvex.OlvexError ? e.errno : `${e.name}: ${e.message}`;
  }
}

async function runRow(row, n, prefix) {
  const serial = `${prefix}-${n}`;
  const keyPath = `\\\\?\\usb#vid_1234&pid_5678#${serial}#{925fad44-e331-4116-b409-78fc2b51ea21}`;
  if (keysim('plug', '--serial', serial, ...row.key).status !== 0) throw new Error(`keysim plug ${row.key.join(' ')} failed`);
  const others = [];
  let hammer = 0, script = null, key = null;
  // The transaction runs in the background: its body takes the steps from
  // `inside` until `end` (or the key's close).
  let tx = null, txDone = null, endTx = null;
  const start = (args) => {
    const child = spawn(OLVEX, args, { stdio: 'ignore', windowsHide: true });
    others.push(new Promise((resolve) => {
      child.on('exit', (code) => resolve(code));
      child.on('error', () => resolve(-1));
    }));
    return child;
  };
  const join = async () => {
    const codes = await Promise.all(others.splice(0));
    const bad = codes.find((c) => c !== 0);
    return bad === undefined ? '' : `another program exited ${bad}`;
  };
  let why = '';
  try {
    key = olvex.open(keyPath);
    for (const step of row.steps) {
      if (why) break;
      const { verb, n: value, code, exits } = step;
      if (verb === 'begin') {
        const t0 = process.hrtime.bigint();
        const result = await new Promise((resolve) => {
          txDone = key.transaction((t) => {
            tx = t;
            resolve(0);
            return new Promise((r) => { endTx = r; });
          }, { timeout: value || undefined }).catch((e) => resolve(e instanceof olvex.OlvexError ? e.errno : `${e.name}: ${e.message}`));
        });
        const ms = sinceMs(t0);
        if (result !== code) why = `begin: error ${result}`;
        else if (code && value && (ms < value - 20 || ms > value + 500)) why = `begin failed after ${ms.toFixed(0)} ms`;
      } else if (verb === 'in') {
        // Untimed: the synchronous call; timed: the asynchronous one.
        const got = await codeOf(value ? () => tx.exchangeAsync(Buffer.from([0x01]), { timeout: value })
                                       : async () => tx.exchange(Buffer.from([0x01])));
        if (got !== code) why = `in: ${got === 0 ? 'answered' : `error ${got}`}, want ${code || 'its own answer'}`;
      } else if (verb === 'end') {
        endTx();
        await txDone;
        tx = null;
      } else if (verb === 'close') {
        // The close ends the transaction; then its body may return.
        await key.close();
        if (endTx) endTx();
        if (txDone) await txDone;
      } else if (verb === 'wait') {
        await sleep(value);
      } else if (verb === 'hammer' || verb === 'othertx') {
        const seen = requestLog(serial).length;
        if (verb === 'hammer') {
          hammer = start(['bench', '--key', keyPath, '--size', '1', '--count', String(value)]).pid;
        } else {
          script = path.join(os.tmpdir(), `olvex-otx-${process.pid}-${n}.txt`);
          fs.writeFileSync(script, Array.from({ length: value }, (_, i) => `0c${i.toString(16).padStart(2, '0')} => 9000\n`).join(''));
          start(['run', '--transaction', '--key', keyPath, script]);
        }
        if (!await seesMore(serial, seen)) why = `${verb}: the key saw no request of it`;
      } else if (verb === 'bystander') {
        start(['send', '--key', keyPath, '0b']);
      } else if (verb === 'owner') {
        const ready = `olvex-tx-owner-${process.pid}-${serial}`;
        const event = CreateEventA(null, 1, 0, ready);
        const seen = requestLog(serial).length;
        const owner = spawn(process.execPath, [__filename, '--owner', keyPath, ready, exits ? 'exit' : 'killed'],
          { stdio: 'ignore', windowsHide: true });
        let inside = false;
        for (let i = 0; i < 300 && !inside && owner.exitCode === null; i++, await sleep(100)) inside = WaitForSingleObject(event, 0) === 0;
        if (!inside) why = 'owner: the child did not get inside its transaction';
        else if (!await seesMore(serial, seen + 1)) why = 'owner: the key never saw the child\'s second command';
        else start(['send', '--key', keyPath, '0b']);
        if (!why) await sleep(value);
        if (exits) {
          const code = await Promise.race([new Promise((resolve) => (owner.exitCode !== null ? resolve(owner.exitCode) : owner.on('exit', resolve))), sleep(20000)]);
          if (code !== 0 && !why) why = `owner: the child exited ${code}`;
        }
        owner.kill();
        await new Promise((resolve) => (owner.exitCode !== null ? resolve() : owner.on('exit', resolve)));
        CloseHandle(event);
      } else if (verb === 'join') {
        why = await join();
      } else if (verb === 'together') {
        why = together(serial, hammer, value);
      } else if (verb === 'process') {
        if (keysim('exchange', '--serial', serial, '0b').status !== 0) why = 'another program did not get its own answer';
      }
    }
  } finally {
    if (endTx) endTx();
    if (txDone) await txDone;
    if (key) await key.close();
    const left = await join();
    if (!why) why = left;
    if (script) fs.rmSync(script, { force: true });
  }
  if (!why) {
    const checked = keysim('check', '--serial', serial, '--requests', String(row.requests));
    if (checked.status !== 0) why = `keysim check exited ${checked.status}: ${checked.output.trim().replace(/\s+/g, ' ')}`;
  }
  if (keysim('unplug', '--serial', serial).status !== 0 && !why) why = 'keysim unplug failed';
  if (why) throw new Error(why);
}

function parseTable(file) {
  return fs.readFileSync(file, 'utf8').split(/\r?\n/)
    .filter((line) => line.trim() && !line.trimStart().startsWith('#'))
    .map((line, i) => {
      const c = line.split('|').map((cell) => cell.trim());
      if (c.length !== 4) throw new Error(`${file}: row ${i + 1}: ${c.length} columns, not 4`);
      const steps = c[2].split(',').map((s) => {
        const [verb, a, b] = s.trim().split(':');
        const exits = verb === 'owner' && b === 'exit';
        return { verb, n: a === undefined || a === 'none' ? 0 : Number(a), code: exits ? 0 : Number(b || 0), exits };
      });
      return { name: c[0], key: c[1].split(/\s+/).filter(Boolean), steps, requests: Number(c[3]) };
    });
}

(async () => {
  const [table, prefix] = process.argv.slice(2);
  const rows = parseTable(table);
  const finish = await runRows(rows, (row, n) => runRow(row, n, prefix), 'node transactions');
  fs.closeSync(log);
  fs.rmSync(logPath, { force: true });
  finish();
})();
