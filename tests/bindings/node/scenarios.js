'use strict';
// scenarios.js TABLE SERIAL_PREFIX: the timed-exchange scenario table (its
// header says what a row means) through the installed package, one freshly
// plugged key per row (serial PREFIX-ROW). keysim.exe is beside this file.
// Prints `ok NAME` or `FAILED NAME: why` per row, and `completed: ...` last
// only when every row passed.
const { runRows } = require('./harness');
const fs = require('fs');
const os = require('os');
const path = require('path');
const { spawnSync } = require('child_process');
const olvex = require('olvexlib');

const KEYSIM = path.join(__dirname, 'keysim.exe');
const FIRST = 0x01, LATER = 0x0b;
const COLUMNS = ['name', 'key', 'hold', 'T', 'cancel', 'expect', 'within', 'then', 'requests'];

// keysim's output goes to a file: a server it leaves running must not hold a
// pipe of ours open, and node.exe is picky about pipes under Wine.
const logPath = path.join(os.tmpdir(), `olvex-scenarios-${process.pid}.log`);
const log = fs.openSync(logPath, 'a+');
function keysim(...args) {
  const from = fs.fstatSync(log).size;
  const r = spawnSync(KEYSIM, args, { stdio: ['ignore', log, log], timeout: 60000, windowsHide: true });
  const size = fs.fstatSync(log).size;
  const text = Buffer.alloc(size - from);
  fs.readSync(log, text, 0, text.length, from);
  const output = text.toString().trim().replace(/\s+/g, ' ');
  if (r.error) throw new Error(`keysim ${args[0]}: ${r.error.message}`);
  return { status: r.status, output, text: `keysim ${args.join(' ')} exited ${r.status}: ${output}` };
}
function keysimOk(...args) {
  const r = keysim(...args);
  if (r.status !== 0) throw new Error(r.text);
}

function parseTable(file) {
  const rows = [];
  fs.readFileSync(file, 'utf8').split(/\r?\n/).forEach((line, i) => {
    if (!line.trim() || line.trimStart().startsWith('#')) return;
    const cells = line.split('|').map((c) => c.trim());
    if (cells.length !== COLUMNS.length) throw new Error(`${file}:${i + 1}: ${cells.length} columns, not ${COLUMNS.length}`);
    const row = Object.fromEntries(COLUMNS.map((c, k) => [c, cells[k]]));
    const [min, max] = row.within.split('-').map(Number);
    rows.push({
      name: row.name,
      key: row.key.split(/\s+/).filter(Boolean),
      hold: Number(row.hold),
      T: Number(row.T),
      cancel: Number(row.cancel),
      expect: row.expect === 'ok' ? 'ok' : Number(row.expect),
      within: [min, max],
      then: row.then === 'none' ? [] : row.then.split(',').map((s) => s.trim()),
      requests: Number(row.requests),
      line: i + 1,
    });
  });
  return rows;
}

const sinceMs = (start) => Number(process.hrtime.bigint() - start) / 1e6;

// The outcome of one exchange: 'ok' when the body is the command's own
// answer, or the error's Windows code; anything else is a finding.
async function outcomeOf(call, lead) {
  try {
    const r = await call();
    if (r.body.length === 0 || r.body[0] !== lead) {
      return { what: `another answer (body ${r.body.subarray(0, 8).toString('hex')}...)` };
    }
    return { what: 'ok' };
  } catch (e) {
    if (!(e instanceof olvex.OlvexError)) return { what: `${e.name}: ${e.message}` };
    const kinds = { 258: [olvex.TimeoutError, 'EBUSY'], 1460: [olvex.TimeoutError, 'ETIMEDOUT'],
                    995: [olvex.AbortError, 'ECANCELED'] };
    const kind = kinds[e.errno];
    if (kind && !(e instanceof kind[0] && e.code === kind[1])) {
      return { what: `errno ${e.errno} as ${e.name} code ${e.code}, not ${kind[0].name} ${kind[1]}` };
    }
    return { what: e.errno };
  }
}

function openBySerial(serial) {
  const index = olvex.list().findIndex((p) => p && p.toLowerCase().includes(`#${serial}#`));
  if (index < 0) throw new Error(`key ${serial} is not listed`);
  return olvex.open(index);
}

// same[:T[:CODE]] and second[:T[:CODE]]: untimed is the synchronous call,
// the plain one; timed the asynchronous.
function exchangeStep(key, text) {
  const [, t, code] = text.split(':');
  const command = Buffer.from([LATER]);
  const call = t ? () => key.exchangeAsync(command, { timeout: Number(t) }) : async () => key.exchange(command);
  return { call, want: code ? Number(code) : 'ok' };
}

async function runRow(row, serial) {
  const connections = [];
  keysimOk('plug', '--serial', serial, ...row.key);
  try {
    const key = openBySerial(serial);
    connections.push(key);
    if (row.hold > 0) keysimOk('hold', '--serial', serial, '--ms', String(row.hold));

    const controller = row.cancel > 0 ? new AbortController() : null;
    const start = process.hrtime.bigint();
    const canceller = controller && setTimeout(() => controller.abort(), row.cancel);
    const first = await outcomeOf(() => key.exchangeAsync(Buffer.from([FIRST]),
                                                          { timeout: row.T, signal: controller && controller.signal }),
                                  FIRST);
    const took = sinceMs(start);
    clearTimeout(canceller);
    if (first.what !== row.expect) throw new Error(`the call gave ${first.what}, not ${row.expect} (${took.toFixed(0)} ms)`);
    if (took < row.within[0] || took > row.within[1]) {
      throw new Error(`the call took ${took.toFixed(0)} ms, not ${row.within[0]}-${row.within[1]}`);
    }

    for (const step of row.then) {
      const kind = step.split(':')[0];
      if (kind === 'same' || kind === 'second') {
        const on = kind === 'same' ? key : openBySerial(serial);
        if (on !== key) connections.push(on);
        const { call, want } = exchangeStep(on, step);
        const got = await outcomeOf(call, LATER);
        if (got.what !== want) throw new Error(`${step} gave ${got.what}, not ${want}`);
      } else if (kind === 'process') {
        const r = keysim('exchange', '--serial', serial, LATER.toString(16).padStart(2, '0'));
        if (r.status !== 0) throw new Error(`${step}: ${r.text}`);
      } else if (kind === 'close') {
        const [min, max] = step.slice('close:'.length).split('-').map(Number);
        const closing = process.hrtime.bigint();
        await key.close();
        const ms = sinceMs(closing);
        if (!(ms >= min && ms <= max)) throw new Error(`close took ${ms.toFixed(0)} ms, not ${min}-${max}`);
      } else {
        throw new Error(`unknown step ${step} (line ${row.line})`);
      }
    }

    await Promise.all(connections.map((c) => c.close()));
    const check = keysim('check', '--serial', serial, '--requests', String(row.requests));
    if (check.status !== 0) throw new Error(`the key afterwards: ${check.text}`);
    return took;
  } finally {
    await Promise.all(connections.map((c) => c.close()));
    keysim('unplug', '--serial', serial);
  }
}

(async () => {
  const [table, prefix] = process.argv.slice(2);
  if (!table || !prefix) throw new Error('usage: scenarios.js TABLE SERIAL_PREFIX');
  const rows = parseTable(table);
  if (rows.length === 0) throw new Error(`${table} has no rows`);
  const report = await runRows(rows, async (row, n) => `${(await runRow(row, `${prefix}-${n + 1}`)).toFixed(0)} ms`,
                               `node scenarios ${process.arch}`);
  fs.closeSync(log);
  try { fs.rmSync(logPath, { force: true }); } catch { /* a key server may still have it open */ }
  report();
})().catch((e) => {
  console.log(`FAILED: ${e.stack}`);
  process.exitCode = 1;
});
