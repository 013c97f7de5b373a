'use strict';
// What the Node.js test programs share: named checks that go on after a
// failure, and a table's rows run one after another. Each program prints
// `completed: ...` last, and only when everything held.

// check(name, body) runs one check; finish(what) reports them all.
function checks() {
  let run = 0, failures = 0;
  return {
    async check(name, body) {
      run++;
      try {
        await body();
        console.log(`ok    ${name}`);
      } catch (e) {
        failures++;
        console.log(`FAIL  ${name}: ${e.stack}`);
      }
    },
    finish(what) {
      if (failures > 0) {
        console.log(`${failures} of ${run} checks failed`);
        process.exitCode = 1;
      } else {
        console.log(`completed: ${what}, ${run} checks`);
      }
    },
  };
}

// Runs `runRow(row, n)` for every row; it resolves to a note for the row's
// line or nothing. `what` names the table in the completion line.
async function runRows(rows, runRow, what) {
  let failed = 0;
  for (const [n, row] of rows.entries()) {
    try {
      const note = await runRow(row, n);
      console.log(`ok ${row.name}${note ? ` (${note})` : ''}`);
    } catch (e) {
      failed++;
      console.log(`FAILED ${row.name}: ${e.message}`);
    }
  }
  return () => {
    if (failed > 0) {
      console.log(`${failed} of ${rows.length} rows failed`);
      process.exitCode = 1;
    } else {
      console.log(`completed: ${what}, ${rows.length} rows`);
    }
  };
}

module.exports = { checks, runRows };
