// Each step of a client operation, one at a time, between two marker files
// (bench/lib/server_trace.mjs counts the Windows calls made in between);
// "idle" is a turn of the event loop between the same markers, the floor
// every other step's count includes. With a published resident in the home,
// whole captures through the product's client, version 1 and 2.
import { closeSync, openSync } from 'node:fs';
import path from 'node:path';
import { randomUUID } from 'node:crypto';
import { startRuntime, measure, config } from './common.mjs';
import { brokerRequest } from '../../product/client.mjs';

const mark = (step, edge) => closeSync(openSync(path.win32.join(config.marks, `calls-mark-${step}-${edge}`), 'w'));

// A run that fails is marked void and not counted; the bench runs the
// steps again until `count` runs of each succeeded (a capture has its one
// second budget, which a traced server may make it miss).
async function measured(step, fn) {
  mark(step, 'begin');
  try {
    const value = await fn();
    mark(step, 'end');
    return value;
  } catch (error) {
    mark(step, 'void');
    throw error;
  }
}

await measure(async () => {
  const { addon } = startRuntime();
  const capture = (version) => brokerRequest(addon, { operation: 'capture',
    body: JSON.stringify({ text: `calls ${randomUUID()}` }), requestId: randomUUID(), version });
  let failures = 0;
  for (let i = 0; i < config.warmup + config.count; ++i) {
    const warm = i < config.warmup;
    const step = (name, fn) => (warm ? fn() : measured(name, fn));
    await step('idle', () => new Promise(setImmediate));
    const event = addon.newDiagnosticEvent('worker');
    const op = addon.newTerminalOperation('worker', event);
    const work = await step('beginWork', () => addon.beginWork(() => 1000, event));
    await step('prepareTerminal', () => addon.prepareTerminal(op, work, '-', '-', 'native_end'));
    await step('endWork', () => addon.endWork(work));
    await step('commitTerminal', () => addon.commitTerminal(op, true, 'saved', 'none', 'terminal'));
    addon.closeTerminalOperation(op);
    addon.closeDiagnosticEvent(event);
    const plain = await addon.beginWork();
    await step('appendDiagnostic', () => addon.appendDiagnostic(plain, `{"bench":"calls","i":${i}}\n`));
    await addon.endWork(plain);
    if (config.serving) {
      for (const version of [1, 2]) {
        for (let attempt = 1; ; ++attempt) {
          try {
            await step(`capture-v${version}`, () => capture(version));
            break;
          } catch (error) {
            if (attempt === 5) throw error;
            failures += 1;
          }
        }
      }
    }
  }
  return { pid: process.pid, failures };
});
