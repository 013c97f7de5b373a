'use strict';
// scenarios.js TABLE SERIAL_PREFIX: the timed-exchange scenario table (its
// header says what a row means) through the installed package, one freshly
// plugged key per row (serial PREFIX-ROW, and PREFIX-ROWo for its other key).
// keysim.exe is beside this file. Prints `ok NAME` or `FAILED NAME: why` per
// row, and `completed: ...` last only when every row passed.
// scenarios.js --child TABLE ROW SERIAL HOW FILE: the child program of an exit
// row: makes the row's calls, writes their outcomes to FILE, and ends as HOW
// says with its connection left open.
const { runRows } = require('./harness');
const fs = require('fs');
const os = require('os');
const path = require('path');
const { spawnSync } = require('child_process');
const olvex = require('olvexlib');

const KEYSIM = path.join(__dirname, 'keysim.exe');
const FIRST = 0x01, LATER = 0x0b;
const COLUMNS = ['name', 'key', 'peer', 'T', 'calls', 'cancel', 'expect', 'within', 'then', 'requests'];
const RUNTIME_MS = 500;

// Output goes to a file: a key server left running must not hold a pipe of
// ours open, and node.exe is picky about pipes under Wine. Opened by the
// driver only.
const logPath = path.join(os.tmpdir(), `olvex-scenarios-${process.pid}.log`);
let log = null;
function run(program, args) {
  const from = fs.fstatSync(log).size;
  const r = spawnSync(program, args, { stdio: ['ignore', log, log], timeout: 60000, windowsHide: true });
  const text = Buffer.alloc(fs.fstatSync(log).size - from);
  fs.readSync(log, text, 0, text.length, from);
  const output = text.toString().trim().replace(/\s+/g, ' ');
  if (r.error) throw new Error(`${path.basename(program)} ${args[0]}: ${r.error.message}`);
  return { status: r.status, output, text: `${path.basename(program)} ${args.join(' ')} exited ${r.status}: ${output}` };
}
const keysim = (...args) => run(KEYSIM, args);
function keysimOk(...args) {
  const r = keysim(...args);
  if (r.status !== 0) throw new Error(r.text);
}

// "none": 0, else ms.
const limitOf = (text) => (text === 'none' || text === undefined ? 0 : Number(text));

// close:MIN-MAX, exit:HOW, wait:MS, other:T, same/second/with[:T[:CODE]], ...
function stepOf(text) {
  const [kind, a, b] = text.trim().split(':');
  return { kind, timeout: limitOf(a), code: Number(b || 0), within: (a || '').split('-').map(Number), how: a };
}

function parseTable(file) {
  const rows = [];
  fs.readFileSync(file, 'utf8').split(/\r?\n/).forEach((line, i) => {
    if (!line.trim() || line.trimStart().startsWith('#')) return;
    const cells = line.split('|').map((c) => c.trim());
    if (cells.length !== COLUMNS.length) throw new Error(`${file}:${i + 1}: ${cells.length} columns, not ${COLUMNS.length}`);
    const c = Object.fromEntries(COLUMNS.map((name, k) => [name, cells[k]]));
    const [peer, peerMs] = c.peer.split(':');
    rows.push({
      name: c.name,
      key: c.key.split(/\s+/).filter(Boolean),
      peer: { kind: peer, ms: Number(peerMs) },
      T: limitOf(c.T),
      calls: Number(c.calls),
      cancel: Number(c.cancel),
      pending: c.expect === 'pending',
      expect: c.expect === 'ok' || c.expect === 'pending' ? 0 : Number(c.expect),
      within: c.within.split('-').map(Number),
      then: c.then === 'none' ? [] : c.then.split(',').map(stepOf),
      requests: Number(c.requests),
    });
  });
  return rows;
}

const sinceMs = (start) => Number(process.hrtime.bigint() - start) / 1e6;
const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

// What one exchange came to: `code` 0 when answered, else the Windows code
// (or what was wrong with the error); `own` when the answer was the command's.
async function outcomeOf(call, lead, start = process.hrtime.bigint()) {
  const kinds = { 258: [olvex.TimeoutError, 'EBUSY'], 1460: [olvex.TimeoutError, 'ETIMEDOUT'],
                  995: [olvex.AbortError, 'ECANCELED'], 1167: [olvex.KeyRemovedError, 'ENODEV'] };
  try {
    const r = await call();
    return { code: 0, own: r.status === 0x9000 && r.body.length > 0 && r.body[0] === lead, ms: sinceMs(start) };
  } catch (e) {
    const ms = sinceMs(start);
    if (!(e instanceof olvex.OlvexError)) return { code: `${e.name}: ${e.message}`, ms };
    const kind = kinds[e.errno];
    if (kind && !(e instanceof kind[0] && e.code === kind[1])) {
      return { code: `errno ${e.errno} as ${e.name} ${e.code}, not ${kind[0].name} ${kind[1]}`, ms };
    }
    return { code: e.errno, own: false, ms };
  }
}

const describe = (o) => `${o.code ? `error ${o.code}` : o.own ? 'its own answer' : 'another answer'} after ${o.ms.toFixed(0)} ms`;

// One exchange of 0b; untimed, the synchronous call.
function again(key, timeout) {
  const command = Buffer.from([LATER]);
  return outcomeOf(timeout ? () => key.exchangeAsync(command, { timeout }) : async () => key.exchange(command), LATER);
}

// The row's calls of 01 on `key` and its `with` calls of 0b, started
// together, each timed from now; the first is aborted after row.cancel ms by
// its own AbortSignal. One untimed call with nothing else is the synchronous
// exchange.
function begin(key, row) {
  const start = process.hrtime.bigint();
  const withs = row.then.filter((s) => s.kind === 'with');
  if (row.calls === 1 && !row.T && !row.cancel && !row.pending && withs.length === 0) {
    const plain = outcomeOf(async () => key.exchange(Buffer.from([FIRST])), FIRST, start);
    return { settle: async () => [await plain], settled: () => 1 };
  }
  let settled = 0;
  const call = (lead, timeout, signal) => outcomeOf(() => key.exchangeAsync(Buffer.from([lead]), { timeout: timeout || undefined, signal }),
                                                    lead, start).finally(() => settled++);
  const controller = row.cancel > 0 ? new AbortController() : null;
  const calls = [];
  for (let i = 0; i < row.calls; i++) calls.push(call(FIRST, row.T, i === 0 && controller ? controller.signal : undefined));
  for (const step of withs) calls.push(call(LATER, step.timeout));
  // The cancel fires even after the calls ended; the steps come after it.
  const fired = controller ? sleep(row.cancel).then(() => controller.abort()) : null;
  return { settle: async () => { const got = await Promise.all(calls); await fired; return got; }, settled: () => settled };
}

// Throws unless the calls met the row: the row's calls first, then its `with` calls.
function judge(row, got) {
  const expect = row.pending ? 995 : row.expect;
  got.slice(0, row.calls).forEach((o, i) => {
    if (o.code !== expect || (expect === 0 && !o.own) ||
        (!row.pending && !(o.ms >= row.within[0] && o.ms <= row.within[1]))) {
      throw new Error(`call ${i + 1}: ${describe(o)}`);
    }
  });
  if (got.length < row.calls) throw new Error(`only ${got.length} calls settled`);
  row.then.filter((s) => s.kind === 'with').forEach((s, i) => {
    const o = got[row.calls + i];
    if (!o) throw new Error('a with call did not settle');
    if (o.code !== s.code || (s.code === 0 && !o.own)) throw new Error(`with: ${describe(o)}`);
  });
}

function openBySerial(serial) {
  const found = olvex.keys().find((k) => k.path.toLowerCase().includes(`#${serial.toLowerCase()}#`));
  if (!found) throw new Error(`key ${serial} is not listed`);
  return olvex.open(found.path);
}

// The row's calls made by a child node.exe that ends `how` with its
// connection open; their outcomes.
function inChild(table, row, serial, how) {
  const file = path.join(os.tmpdir(), `olvex-child-${process.pid}-${serial}.json`);
  fs.rmSync(file, { force: true });
  const r = run(process.execPath, [__filename, '--child', table, row.name, serial, how, file]);
  if (/wine: Unhandled/.test(r.output)) throw new Error(`the child program crashed: ${r.output}`);
  if (r.status !== 0) throw new Error(r.text);
  if (!fs.existsSync(file)) throw new Error('the child program told nothing');
  try {
    return JSON.parse(fs.readFileSync(file, 'utf8'));
  } finally {
    fs.rmSync(file, { force: true });
  }
}

async function child([table, name, serial, how, file]) {
  const row = parseTable(table).find((r) => r.name === name);
  // Left open on purpose: the program's end must give its owed answer the grace.
  const key = openBySerial(serial);
  fs.writeFileSync(file, JSON.stringify(await begin(key, row).settle()));
  if (how === 'closing') {
    // The program ends while the kit closes the connection on another thread.
    key.close();
    setTimeout(() => process.exit(0), 100);
  }
  if (how === 'exit') process.exit(0);
}

async function runRow(table, row, serial) {
  const opened = [];
  const open = (s) => {
    const key = openBySerial(s);
    opened.push(key);
    return key;
  };
  const closeAll = () => Promise.all(opened.map((c) => c.close()));
  const other = `${serial}o`;
  let otherPlugged = false;
  keysimOk('plug', '--serial', serial, ...row.key);
  try {
    const exit = row.then.length > 0 && row.then[0].kind === 'exit' ? row.then[0] : null;
    const key = exit ? null : open(serial);
    if (row.peer.kind === 'hold') keysimOk('hold', '--serial', serial, '--ms', String(row.peer.ms));
    // It dies holding the lock: its exit code is its killer's.
    if (row.peer.kind === 'killed' &&
        keysim('exchange', '--serial', serial, '0a', '--die-after', String(row.peer.ms)).status === 0) {
      throw new Error('keysim exchange --die-after lived on');
    }
    if (row.peer.kind === 'died') keysimOk('hold', '--serial', serial, '--die-after', String(row.peer.ms));
    const calls = exit ? null : begin(key, row);
    const got = exit ? inChild(table, row, serial, exit.how) : row.pending ? null : await calls.settle();
    if (got) judge(row, got);
    let closed = false;
    for (const step of row.then) {
      if (row.pending && calls && !closed && step.kind !== 'close' && calls.settled() !== 0) {
        throw new Error('a call settled before the close');
      }
      if (step.kind === 'same' || step.kind === 'second') {
        const o = await again(step.kind === 'same' ? key : open(serial), step.timeout);
        if (o.code !== step.code || (step.code === 0 && !o.own)) throw new Error(`${step.kind}: ${describe(o)}`);
      } else if (step.kind === 'process') {
        const r = keysim('exchange', '--serial', serial, LATER.toString(16).padStart(2, '0'));
        if (r.status !== 0) throw new Error(`another program did not get its own answer: ${r.text}`);
      } else if (step.kind === 'close') {
        closed = true;
        const start = process.hrtime.bigint();
        await key.close();
        const ms = sinceMs(start);
        if (!(ms >= step.within[0] && ms <= step.within[1])) throw new Error(`close took ${ms.toFixed(0)} ms`);
        if (row.pending) judge(row, await calls.settle());
      } else if (step.kind === 'replug') {
        keysimOk('unplug', '--serial', serial);
        keysimOk('plug', '--serial', serial, ...row.key);
      } else if (step.kind === 'other') {
        if (!otherPlugged) keysimOk('plug', '--serial', other);
        otherPlugged = true;
        const o = await again(open(other), step.timeout);
        if (o.code !== 0 || !o.own || o.ms > step.timeout) throw new Error(`other: ${describe(o)}`);
      } else if (step.kind === 'runtime') {
        const read = fs.promises.readFile(__filename).then(() => true);
        if (!(await Promise.race([read, sleep(RUNTIME_MS).then(() => false)]))) {
          throw new Error(`the runtime's own work did not settle within ${RUNTIME_MS} ms`);
        }
      } else if (step.kind === 'wait') {
        await sleep(step.timeout);
      } else if (step.kind !== 'with' && step.kind !== 'exit') {
        throw new Error(`unknown step ${step.kind}`);
      }
    }
    await closeAll();
    const check = keysim('check', '--serial', serial, '--requests', String(row.requests));
    if (check.status !== 0) throw new Error(`the key afterwards: ${check.text}`);
    return got ? `${got[0].ms.toFixed(0)} ms` : '';
  } finally {
    await closeAll();
    keysim('unplug', '--serial', serial);
    if (otherPlugged) keysim('unplug', '--serial', other);
  }
}

(async () => {
  const args = process.argv.slice(2);
  if (args[0] === '--child') return child(args.slice(1));
  const [table, prefix] = args;
  if (!table || !prefix) throw new Error('usage: scenarios.js TABLE SERIAL_PREFIX');
  log = fs.openSync(logPath, 'a+');
  // The package ends every connection only at the program's end, and its
  // close() settles the calls before it resolves: nothing to scribble over.
  const rows = parseTable(table).filter((row) => {
    const applies = !row.then.some((s) => ['closeall', 'fresh', 'scribble'].includes(s.kind));
    if (!applies) console.log(`not for this layer: ${row.name}`);
    return applies;
  });
  if (rows.length === 0) throw new Error(`${table} has no rows`);
  const report = await runRows(rows, (row, n) => runRow(table, row, `${prefix}-${n + 1}`), `node scenarios ${process.arch}`);
  fs.closeSync(log);
  try { fs.rmSync(logPath, { force: true }); } catch { /* a key server may still have it open */ }
  report();
})().catch((e) => {
  console.log(`FAILED: ${e.stack}`);
  process.exitCode = 1;
});
