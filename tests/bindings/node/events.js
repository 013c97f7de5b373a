'use strict';
// events.js TABLE SERIAL_PREFIX: the key-events table (its header says what a
// row means) through the installed package's watch(), as the C++ driver runs
// it: each key letter of a row is its own serial (PREFIX + ROW + LETTER).
// Prints `ok NAME` or `FAILED NAME: why` per row, and `completed: ...` last
// only when every row passed.
const { runRows } = require('./harness');
const fs = require('fs');
const os = require('os');
const path = require('path');
const { spawnSync } = require('child_process');
const olvex = require('olvexlib');

const KEYSIM = path.join(__dirname, 'keysim.exe');
const SETTLE_MS = 2000;
// The C++ driver's interval: rows assume listings well within their waits.
const INTERVAL_MS = 100;

const logPath = path.join(os.tmpdir(), `olvex-events-${process.pid}.log`);
const log = fs.openSync(logPath, 'a+');
// Blocks the event loop for the while: events only come out later, in order.
function keysim(...args) {
  const from = fs.fstatSync(log).size;
  const r = spawnSync(KEYSIM, args, { stdio: ['ignore', log, log], timeout: 60000, windowsHide: true });
  const text = Buffer.alloc(fs.fstatSync(log).size - from);
  fs.readSync(log, text, 0, text.length, from);
  if (r.error) throw new Error(`keysim ${args[0]}: ${r.error.message}`);
  if (r.status !== 0) throw new Error(`keysim ${args.join(' ')} exited ${r.status}: ${text.toString().trim()}`);
}

function parseTable(file) {
  const rows = [];
  fs.readFileSync(file, 'utf8').split(/\r?\n/).forEach((line, i) => {
    if (!line.trim() || line.trimStart().startsWith('#')) return;
    const cells = line.split('|').map((c) => c.trim());
    if (cells.length !== 3) throw new Error(`${file}:${i + 1}: ${cells.length} columns, not 3`);
    const list = (cell) => cell.split(',').map((s) => s.trim()).filter(Boolean);
    rows.push({
      name: cells[0],
      actions: list(cells[1]).map((a) => {
        const [verb, ...words] = a.split(/\s+/);
        return { text: a, verb, words };
      }),
      events: cells[2] === 'none' ? [] : list(cells[2]),
      line: i + 1,
    });
  });
  return rows;
}

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));
// "stop-on=attached:A" among the words -> "attached A"
function option(words, name) {
  const w = words.find((x) => x.startsWith(name));
  return w ? w.slice(name.length).replace(':', ' ') : null;
}

async function runRow(row, number, prefix) {
  const serial = (letter) => `${prefix}${number}${letter}`;
  const letterOf = (p) => {
    for (let c = 65; c <= 90; c++) {
      if (p.toLowerCase().includes(`#${serial(String.fromCharCode(c)).toLowerCase()}#`)) return String.fromCharCode(c);
    }
    return '?';
  };
  const seen = [];
  const plugged = new Set();
  let watcher = null;
  try {
    for (const a of row.actions) {
      if (a.verb === 'plug') {
        keysim('plug', '--serial', serial(a.words[0]), ...a.words.slice(1));
        plugged.add(a.words[0]);
      } else if (a.verb === 'unplug') {
        keysim('unplug', '--serial', serial(a.words[0]));
      } else if (a.verb === 'wait') {
        await sleep(Number(a.words[0]));
      } else if (a.verb === 'watch') {
        const stopOn = option(a.words, 'stop-on='), exchangeOn = option(a.words, 'exchange-on=');
        const w = olvex.watch({ interval: INTERVAL_MS });
        watcher = w;
        const on = (what) => (key) => {
          if (!(key.attached instanceof Date) || Number.isNaN(key.attached.getTime())) {
            seen.push(`${what} with attached ${key.attached}`);
          }
          // Keys of the rest of the run (node-test.sh's) are not the row's.
          if (letterOf(key.path) === '?') return;
          const event = `${what} ${letterOf(key.path)}`;
          seen.push(event);
          if (event === stopOn) w.close();
          if (event === exchangeOn) {
            const k = olvex.open(key.path);
            try {
              const r = k.exchange(Buffer.from([1]));
              if (r.body.length === 1 && r.body[0] === 1) seen.push(`exchanged ${letterOf(key.path)}`);
            } finally {
              k.close();
            }
          }
        };
        w.on('attach', on('attached'));
        w.on('detach', on('removed'));
      } else {
        throw new Error(`unknown action ${a.text} (line ${row.line})`);
      }
    }
    await sleep(SETTLE_MS);
  } finally {
    if (watcher) watcher.close();
    for (const letter of plugged) {
      try { keysim('unplug', '--serial', serial(letter)); } catch { /* unplugged by the row */ }
    }
  }
  if (seen.join(', ') !== row.events.join(', ')) {
    throw new Error(`saw [${seen.join(', ')}], not [${row.events.join(', ')}]`);
  }
}

(async () => {
  const [table, prefix] = process.argv.slice(2);
  if (!table || !prefix) throw new Error('usage: events.js TABLE SERIAL_PREFIX');
  const rows = parseTable(table);
  if (rows.length === 0) throw new Error(`${table} has no rows`);
  const report = await runRows(rows, (row, n) => runRow(row, n, prefix), `node key events ${process.arch}`);
  fs.closeSync(log);
  try { fs.rmSync(logPath, { force: true }); } catch { /* a key server may still have it open */ }
  report();
})().catch((e) => {
  console.log(`FAILED: ${e.stack}`);
  process.exitCode = 1;
});
