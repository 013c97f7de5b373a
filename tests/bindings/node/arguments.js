'use strict';
// node arguments.js TABLE SERIAL: the first-program table (first-program.txt) through the
// package, on the plugged echo key SERIAL. The first row runs before this
// process lists any key.
const fs = require('fs');
const olvex = require('olvexlib');
const { runRows } = require('./harness');

const [table, serial] = process.argv.slice(2);
const rows = fs.readFileSync(table, 'latin1').split(/\r?\n/)
  .filter((line) => line.trim() && !line.startsWith('#'))
  .map((line) => {
    const [name, call, expect, says] = line.split('|').map((cell) => cell.trim());
    return { name, call, expect, says };
  });

let key = null;
function echoKey() {
  if (!key) key = olvex.open(olvex.list().find((p) => p && p.includes(`#${serial}#`)));
  return key;
}

function call(row) {
  const [what, arg] = row.call.split(':');
  switch (what) {
    case 'open-index': return olvex.open(arg === 'count' ? olvex.enumerate() : Number(arg));
    case 'open-path-null': return olvex.open(undefined);
    case 'exchange-null': return echoKey().exchange(null);
    case 'exchange': return echoKey().exchange(Buffer.alloc(Number(arg)));
    case 'timeout': return echoKey().exchangeAsync(Buffer.from([1]), { timeout: Number(arg) });
    case 'timeout-text': return echoKey().exchangeAsync(Buffer.from([1]), { timeout: '100' });
    default: throw new Error(`unknown call ${row.call}`);
  }
}

const fits = {
  index: (e) => e instanceof RangeError && e.errno === 87,
  type: (e) => e instanceof TypeError,
  range: (e) => e instanceof olvex.OlvexError && e.errno === 87,
  87: (e) => e instanceof olvex.OlvexError && e.errno === 87,
};

(async () => {
  const finish = await runRows(rows, async (row) => {
    let error = null;
    try {
      const result = call(row);
      if (result && typeof result.then === 'function') await result;
    } catch (e) {
      error = e;
    }
    if (!error) throw new Error(`no error, want ${row.expect}`);
    if (!fits[row.expect](error)) throw new Error(`want ${row.expect}, got ${error.name} errno ${error.errno}: ${error.message}`);
    if (row.says !== '-' && !error.message.includes(row.says)) throw new Error(`the message lacks "${row.says}": ${error.message}`);
    return `${error.name}: ${error.message}`;
  }, 'node bad arguments');
  if (key) await key.close();
  finish();
})();
