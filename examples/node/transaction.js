// Commands that must go together (select, verify, compute) in one
// transaction: no other program's command reaches the key between them.
// Run it with `node transaction.js` where the olvexlib package is installed.
'use strict';
const olvex = require('olvexlib');

async function main() {
  if (olvex.enumerate() === 0) return;
  const key = olvex.open(0);
  try {
    const status = await key.transaction(async (tx) => {   // the key's lock, had within 2 s
      tx.exchange(Buffer.from([0x00, 0xa4, 0x04, 0x00]));   // select
      tx.exchange(Buffer.from([0x00, 0x20, 0x00, 0x01]));   // verify
      const r = await tx.exchangeAsync(Buffer.from([0x80, 0x2a]), { timeout: 5000 });
      return r.status;                                    // returning (or throwing) ends it
    }, { timeout: 2000 });
    console.log(`transaction: status ${status.toString(16)}`);
  } finally {
    await key.close();
  }
}

main().catch((e) => {
  console.error(e.message);                               // TimeoutError 258: another program kept the key
  process.exitCode = 1;
});
