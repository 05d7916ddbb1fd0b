// A work's round trip: beginWork until endWork has resolved, one at a time;
// beside it, an asynchronous open and close of the same marker file by node,
// the nearest thing node itself does on its thread pool.
import { open } from 'node:fs/promises';
import path from 'node:path';
import { startRuntime, measure, config } from './common.mjs';

await measure(async () => {
  const { addon } = startRuntime();
  const marker = path.win32.join(config.home, 'state', 'runtime', 'work.v1');
  const samples = { roundTrip: [], begin: [], end: [], nodeOpenClose: [] };
  for (let i = 0; i < config.warmup + config.count; ++i) {
    const t0 = performance.now();
    const id = await addon.beginWork();
    const t1 = performance.now();
    await addon.endWork(id);
    const t2 = performance.now();
    const file = await open(marker, 'r');
    await file.close();
    const t3 = performance.now();
    if (i < config.warmup) continue;
    samples.roundTrip.push(t2 - t0);
    samples.begin.push(t1 - t0);
    samples.end.push(t2 - t1);
    samples.nodeOpenClose.push(t3 - t2);
  }
  return samples;
});
