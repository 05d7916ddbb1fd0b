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
//
// The test bed's build counts the serialisation mutex holds of every process
// of the home and how long each was owned, and writes them when the process
// ends (a directory "hold-counts" in the home asks for it): per N, the client
// runtimes' holds per capture (their own startup included, as it is part of
// a client runtime's life); the resident's, which it writes only when it
// ends, over the whole run (its startup and the warm-up included). One
// resident serves every N: on this machine a resident started under load
// sometimes misses its startup ceiling.
import fs from 'node:fs';
import path from 'node:path';
import { quantile } from './lib/stats.mjs';
import { client, openGate, request, whileServing } from '../tests/js/lib/serving.mjs';

// The holds the processes that ended since the last call reported, summed;
// the files are removed as they are read.
function takeHolds(dir) {
  const sum = { holds: 0, heldUs: 0, longestUs: 0, processes: 0 };
  if (!fs.existsSync(dir)) return sum;
  for (const name of fs.readdirSync(dir)) {
    const file = path.win32.join(dir, name);
    const [, holds, , heldUs, , longestUs] = fs.readFileSync(file, 'utf8').trim().split(' ').map(Number);
    fs.rmSync(file);
    sum.holds += holds;
    sum.heldUs += heldUs;
    sum.longestUs = Math.max(sum.longestUs, longestUs);
    sum.processes += 1;
  }
  return sum;
}

export default async function clients(bed, { counts, captures, rounds }) {
  const rows = [];
  const holdDir = path.win32.join(bed.home.home, 'hold-counts');
  fs.mkdirSync(holdDir, { recursive: true });
  let gates = 0;
  let attemptedAll = 0;
  await whileServing(bed.home, async () => {
    // One capture first: the store, the log and the resident's paths warm.
    await client(bed.home, [request('capture', JSON.stringify({ text: 'warm up' }))]);
    takeHolds(holdDir);
    for (const n of counts) {
      const rate = [];
      const times = [];
      const failures = {};
      const clientHolds = { holds: 0, heldUs: 0, longestUs: 0, processes: 0 };
      for (let round = 0; round < rounds; round += 1) {
        const gate = path.win32.join(bed.home.scratch, `gate-${gates += 1}`);
        fs.mkdirSync(gate);
        const started = Array.from({ length: n }, (_, c) => client(bed.home,
          Array.from({ length: captures }, (_, i) => request('capture', JSON.stringify({ text: `bench ${n}.${round}.${c}.${i}` }))),
          gate, { timed: true }));
        const results = (await openGate(gate, started)).flat();
        const succeeded = results.filter((r) => r.text);
        for (const r of results.filter((r) => !r.text)) failures[r.error] = (failures[r.error] ?? 0) + 1;
        times.push(...succeeded.map((r) => r.ms));
        const first = Math.min(...results.map((r) => r.at));
        const last = Math.max(...results.map((r) => r.at + r.ms));
        rate.push((succeeded.length * 1000) / (last - first));
        const held = takeHolds(holdDir);
        for (const key of ['holds', 'heldUs', 'processes']) clientHolds[key] += held[key];
        clientHolds.longestUs = Math.max(clientHolds.longestUs, held.longestUs);
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
      // Per capture attempted: a failed one held the mutex too.
      const attempted = n * captures * rounds;
      attemptedAll += attempted;
      rows.push(...holdRows(`${label}: client runtimes`, clientHolds, attempted));
    }
  });
  rows.push(...holdRows('all: resident (startup and warm-up included)', takeHolds(holdDir), attemptedAll));
  return rows;
}

function holdRows(who, held, per) {
  if (!held.holds) return [];
  return [
    { name: `${who}: mutex holds per capture`, unit: 'count', samples: [held.holds / per] },
    { name: `${who}: mutex time per capture`, unit: 'ms', samples: [held.heldUs / 1000 / per] },
    { name: `${who}: mutex time per hold`, unit: 'ms', samples: [held.heldUs / 1000 / held.holds] },
    { name: `${who}: longest hold`, unit: 'ms', samples: [held.longestUs / 1000] },
  ];
}
