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
  const hex4 = (n) => n.toString(16).padStart(4, '0');
  const pathOf = (s, vendorId, productId) =>
    `\\\\?\\usb#vid_${hex4(vendorId)}&pid_${hex4(productId)}#${s}#{925fad44-e331-4116-b409-78fc2b51ea21}`.toLowerCase();
  // Told by the key's serial, whose path must be keysim's for it and its ids.
  const letterOf = (key) => {
    for (let c = 65; c <= 90; c++) {
      const s = serial(String.fromCharCode(c));
      if (key.serial.toLowerCase() === s.toLowerCase() && key.path === pathOf(s, key.vendorId, key.productId)) {
        return String.fromCharCode(c);
      }
    }
    return '?';
  };
  // The paths of the keys plugged as `letter`.
  const pathsOf = (letter) => plugged.filter((p) => p[0] === letter).map((words) => {
    const value = (name, otherwise) => (words.includes(name) ? parseInt(words[words.indexOf(name) + 1], 16) : otherwise);
    return pathOf(serial(letter), value('--vid', 0x1234), value('--pid', 0x5678));
  });
  // "opened K", "no key K", or "claimed twice K" when the error names both
  // keys plugged as K; else what came instead.
  const openBySerial = (letter) => {
    const paths = pathsOf(letter);
    let k;
    try {
      k = olvex.openSerial(serial(letter));
    } catch (e) {
      if (e.errno === 1167 && e instanceof olvex.KeyRemovedError && paths.length === 0) return `no key ${letter}`;
      if (e.errno === 15250 && paths.length === 2 && paths.every((p) => e.message.includes(p)) &&
          [...e.paths].sort().join() === [...paths].sort().join()) return `claimed twice ${letter}`;
      return `open ${letter}: ${e.message}`;
    }
    k.close();
    return paths.length === 1 && k.path === paths[0] ? `opened ${letter}` : `opened ${k.path}`;
  };
  const seen = [];
  const plugged = [];
  let watcher = null;
  try {
    for (const a of row.actions) {
      if (a.verb === 'plug') {
        keysim('plug', '--serial', serial(a.words[0]), ...a.words.slice(1));
        plugged.push(a.words);
      } else if (a.verb === 'open') {
        seen.push(openBySerial(a.words[0]));
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
          if (letterOf(key) === '?') return;
          const event = `${what} ${letterOf(key)}`;
          seen.push(event);
          if (event === stopOn) w.close();
          if (event === exchangeOn) {
            const k = olvex.open(key.path);
            try {
              const r = k.exchange(Buffer.from([1]));
              if (r.body.length === 1 && r.body[0] === 1) seen.push(`exchanged ${letterOf(key)}`);
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
    if (watcher) await sleep(SETTLE_MS);
  } finally {
    if (watcher) watcher.close();
    for (const [letter, ...rest] of plugged) {
      try { keysim('unplug', '--serial', serial(letter), ...rest); } catch { /* unplugged by the row */ }
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
