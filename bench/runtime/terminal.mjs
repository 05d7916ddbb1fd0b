// A terminal operation's two writes: prepareTerminal (its checkpoint, job
// kind 15) and commitTerminal (its terminal record, kind 16), each from call
// to resolution, for one operation after another on a work of its own. Beside
// them, node appending a line of the same size to a file of its own with
// write-through semantics (open "a", write, fsync, close), the least a
// durable append costs from JavaScript.
import { readFileSync } from 'node:fs';
import { open } from 'node:fs/promises';
import path from 'node:path';
import { startRuntime, measure, config } from './common.mjs';

// The length of the last line of today's first log file: the terminal
// record just committed.
function lastLineBytes() {
  const day = new Date().toISOString().slice(0, 10).replaceAll('-', '');
  const lines = readFileSync(path.win32.join(config.home, 'logs', `nuvra-${day}-0.jsonl`), 'utf8')
    .trimEnd().split('\n');
  return Buffer.byteLength(lines[lines.length - 1]) + 1;
}

await measure(async () => {
  const { addon } = startRuntime();
  const samples = { prepare: [], commit: [], operation: [], nodeAppend: [] };
  const peerFile = path.win32.join(config.home, 'bench-append.jsonl');
  let lineBytes = 0;
  for (let i = 0; i < config.warmup + config.count; ++i) {
    const t0 = performance.now();
    const event = addon.newDiagnosticEvent('worker');
    const op = addon.newTerminalOperation('worker', event);
    const work = await addon.beginWork(() => 1000, event);
    const t1 = performance.now();
    await addon.prepareTerminal(op, work, '-', '-', 'native_end');
    const t2 = performance.now();
    await addon.endWork(work);
    const t3 = performance.now();
    await addon.commitTerminal(op, true, 'saved', 'none', 'terminal');
    const t4 = performance.now();
    if (addon.closeTerminalOperation(op) !== true) throw new Error('operation_not_closed');
    addon.closeDiagnosticEvent(event);
    const t5 = performance.now();
    // The peer appends a line as long as the terminal record.
    lineBytes ||= lastLineBytes();
    const file = await open(peerFile, 'a');
    await file.write(`{"bench":"append","pad":"${'x'.repeat(Math.max(0, lineBytes - 28))}"}\n`);
    await file.datasync();
    await file.close();
    const t6 = performance.now();
    if (i < config.warmup) continue;
    samples.prepare.push(t2 - t1);
    samples.commit.push(t4 - t3);
    samples.operation.push(t5 - t0);
    samples.nodeAppend.push(t6 - t5);
  }
  return samples;
});
