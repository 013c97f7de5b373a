'use strict';
// node arguments.js TABLE SERIAL: the bad-argument table (bad-arguments.txt) through the
// package, on the plugged echo key SERIAL. The first row runs before this
// process lists any key.
const fs = require('fs');
const olvex = require('olvexlib');
const { runRows } = require('./harness');

const [table, serial] = process.argv.slice(2);
const rows = fs.readFileSync(table, 'latin1').split(/\r?\n/)
  .filter((line) => line.trim() && !line.startsWith('#'))
  .map((line) => {
    const cells = line.split('|').map((cell) => cell.trim());
    return { name: cells[0], call: cells[1], expect: cells[6], says: cells[7] };
  });

let key = null;
function echoKey() {
  if (!key) key = olvex.open(olvex.list().find((p) => p && p.includes(`#${serial}#`)));
  return key;
}

function call(row) {
  const [verb, what, arg] = row.call.split(' ');
  switch (`${verb} ${what}`) {
    case 'open index': return olvex.open(arg === 'count' ? olvex.enumerate() : Number(arg));
    case 'open path': return olvex.open(arg === 'null' ? undefined : arg);
    case 'exchange bytes': return echoKey().exchange(arg === 'null' ? null : Buffer.alloc(Number(arg)));
    case 'exchange timeout':
      return echoKey().exchangeAsync(Buffer.from([1]), { timeout: arg === 'text' ? '100' : Number(arg) });
    case 'exchange closed': {
      const closed = olvex.open(echoKey().path);
      closed.close();
      return closed.exchange(Buffer.from([1]));
    }
    default: throw new Error(`unknown call ${row.call}`);
  }
}

const fits = {
  index: (e) => e instanceof RangeError && e.errno === 87,
  type: (e) => e instanceof TypeError,
  range: (e) => e instanceof olvex.OlvexError && e.errno === 87,
  closed: (e) => e instanceof olvex.OlvexError && e.errno === 6,
};
function fit(expect, e) {
  if (fits[expect]) return fits[expect](e);
  if (!/^\d+$/.test(expect)) throw new Error(`unknown expectation ${expect}`);
  return e instanceof olvex.OlvexError && e.errno === Number(expect);
}

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
    if (!fit(row.expect, error)) throw new Error(`want ${row.expect}, got ${error.name} errno ${error.errno}: ${error.message}`);
    if (row.says !== '-' && !error.message.includes(row.says)) throw new Error(`the message lacks "${row.says}": ${error.message}`);
    return `${error.name}: ${error.message}`;
  }, 'node bad arguments');
  if (key) await key.close();
  finish();
})();
