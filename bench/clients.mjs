// Many clients at once: N client runtimes, each capturing one memory after
// another through the product's client (a whole version 2 client operation:
// event, terminal operation, work, checkpoint, exchangePhase, end, terminal
// record) against one published resident, released together through a gate.
// The clients and the gate are the suites' own (tests/js/lib/serving.mjs).
//
// Per N: captures per second (the captures that succeeded, over the time from
// the first capture's start to the last one's end, each round a sample), the
// time of each capture that succeeded (median is p50; p99 a row of its own),
// and the captures that failed, one row per reason.
import fs from 'node:fs';
import path from 'node:path';
import { quantile } from './lib/stats.mjs';
import { client, openGate, request, whileServing } from '../tests/js/lib/serving.mjs';

export default async function clients(bed, { counts, captures, rounds }) {
  const rows = [];
  let gates = 0;
  await whileServing(bed.home, async () => {
    // One capture first: the store, the log and the resident's paths warm.
    await client(bed.home, [request('capture', JSON.stringify({ text: 'warm up' }))]);
    for (const n of counts) {
      const rate = [];
      const times = [];
      const failures = {};
      for (let round = 0; round < rounds; round += 1) {
        const gate = path.win32.join(bed.home.scratch, `gate-${gates += 1}`);
        fs.mkdirSync(gate);
        const started = Array.from({ length: n }, (_, c) => client(bed.home,
          Array.from({ length: captures }, (_, i) => request('capture', JSON.stringify({ text: `bench ${n}.${round}.${c}.${i}` }))),
          gate, { timed: true }));
        const results = (await openGate(gate, started)).flat();
        const done = results.filter((r) => r.text);
        for (const r of results.filter((r) => !r.text)) failures[r.error] = (failures[r.error] ?? 0) + 1;
        times.push(...done.map((r) => r.ms));
        const first = Math.min(...results.map((r) => r.at));
        const last = Math.max(...results.map((r) => r.at + r.ms));
        rate.push((done.length * 1000) / (last - first));
      }
      const label = `${n} at once`;
      rows.push({ name: `${label}: captures per second`, unit: '1/s', samples: rate });
      rows.push({ name: `${label}: capture, call to answer (median is p50)`, unit: 'ms', samples: times });
      const sorted = [...times].sort((a, b) => a - b);
      if (sorted.length) rows.push({ name: `${label}: capture p99`, unit: 'ms', samples: [quantile(sorted, 0.99)] });
      rows.push({ name: `${label}: failed, all reasons`, unit: 'count',
        samples: [Object.values(failures).reduce((a, b) => a + b, 0)] });
      for (const [reason, count] of Object.entries(failures).sort()) {
        rows.push({ name: `${label}: failed, ${reason}`, unit: 'count', samples: [count] });
      }
    }
  });
  return rows;
}
