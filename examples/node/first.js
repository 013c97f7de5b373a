// A first program on the Node.js binding: lists the keys, opens the oldest,
// sends it a command, then another with a time limit and a signal to end it.
// Run it with `node first.js` where the olvexlib package is installed.
'use strict';
const olvex = require('olvexlib');

async function main() {
  const count = olvex.enumerate();                         // an index names a key of this listing
  console.log(`${count} key(s) attached; Olvexlib.dll ${olvex.version}`);
  if (count === 0) return;
  const key = olvex.open(0);                               // the oldest; olvex.open(path) by its path
  try {
    const { status, body } = key.exchange(Buffer.from([0x80, 0xca]));
    console.log(`${key.path}: status ${status.toString(16)}, ${body.length} byte(s)`);

    const ac = new AbortController();                      // one signal per call
    const timer = setTimeout(() => ac.abort(new Error('gave up waiting')), 1000);
    try {
      const r = await key.exchangeAsync(Buffer.from([0x80, 0xca]), { timeout: 2000, signal: ac.signal });
      console.log(`again: status ${r.status.toString(16)}`);
    } catch (e) {
      if (!(e instanceof olvex.TimeoutError)) throw e;      // errno 258: lock busy, 1460: no answer
      console.log(`no answer in time: ${e.message}`);
    } finally {
      clearTimeout(timer);
    }
  } finally {
    await key.close();                                     // ends pending calls; grace for an owed answer
  }
}

main().catch((e) => {
  console.error(e.message);                                // KeyOpenError: e.errno is the Windows code
  process.exitCode = 1;
});
