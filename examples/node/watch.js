// Watches keys come and go for a few seconds (default 2), opening each one
// that attaches by its path and sending it one command.
'use strict';
const olvex = require('olvexlib');

const watcher = olvex.watch();                             // first 'attach' for each key present
watcher.on('attach', async ({ path, attached }) => {
  const key = olvex.open(path);                            // by path, whatever its index
  try {
    const { status } = await key.exchangeAsync(Buffer.from([1]), { timeout: 1000 });
    console.log(`attached ${path} at ${attached.toISOString()}: status ${status.toString(16)}`);
  } catch (e) {
    console.log(`attached ${path}: ${e.message}`);         // e.errno: the Windows code (1167: gone again)
  } finally {
    await key.close();
  }
});
watcher.on('detach', ({ path }) => console.log(`removed ${path}`));
setTimeout(() => watcher.close(), 1000 * Number(process.argv[2] || 2));
