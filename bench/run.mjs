// The benchmark driver, run by testbed/bench in the Windows node.exe:
//   node.exe bench/run.mjs [startup|works|diagnostics|children|memory|resident|package|exchange|terminal|store|clients|calls]...
// Prints one table (medians, p10/p90, min/max, ratio to the peer measured in
// the same run) and writes it with the raw samples to NUVRA_BENCH_RESULTS.
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { Bed } from './lib/bed.mjs';
import { formatTable, rowsAsJson } from './lib/stats.mjs';
import { removeHome } from '../tests/js/lib/home.mjs';
import startup from './startup.mjs';
import works from './works.mjs';
import diagnostics from './diagnostics.mjs';
import children from './children.mjs';
import memory from './memory.mjs';
import resident from './resident.mjs';
import packageLoad from './package.mjs';
import exchange from './exchange.mjs';
import terminal from './terminal.mjs';
import store from './store.mjs';
import clients from './clients.mjs';
import calls from './calls.mjs';

const benchmarks = { startup, works, diagnostics, children, memory, resident, package: packageLoad, exchange, terminal, store, clients, calls };
const scale = Number(process.env.NUVRA_BENCH_SCALE ?? '1');
// Repetitions per benchmark at scale 1, chosen to keep the whole run near
// ten minutes on two busy cores under Wine.
const settings = {
  startup: { repeat: Math.max(1, Math.round(15 * scale)) },
  works: { count: Math.round(300 * scale) },
  diagnostics: { count: Math.round(300 * scale), rotationCount: Math.max(300, Math.round(1300 * scale)) },
  children: { count: Math.round(30 * scale), floodRuns: Math.max(3, Math.round(5 * scale)),
    floodBytes: 64 << 20 },
  memory: { works: 1000, children: 1000, repeat: Math.max(1, Math.round(scale)) },
  resident: { repeat: Math.max(1, Math.round(15 * scale)) },
  package: { count: Math.max(3, Math.round(20 * scale)) },
  exchange: { count: Math.round(100 * scale) },
  terminal: { count: Math.round(200 * scale) },
  store: { size: 100000, count: Math.max(5, Math.round(30 * scale)) },
  calls: { count: Math.max(5, Math.round(10 * scale)) },
  clients: { counts: [1, 2, 4, 8, 16], captures: Math.max(2, Math.round(8 * scale)), rounds: Math.max(1, Math.round(2 * scale)) },
};

// "calls" needs the traced server, so it runs only when asked for alone.
const selected = process.argv.slice(2).length ? process.argv.slice(2)
  : Object.keys(benchmarks).filter((name) => name !== 'calls');
const resultsDir = process.env.NUVRA_BENCH_RESULTS ?? path.join(os.tmpdir(), 'nuvra-bench');
fs.mkdirSync(resultsDir, { recursive: true });

const all = [];
const notes = [];
let failed = false;
for (const name of selected) {
  if (!benchmarks[name]) {
    console.error(`unknown benchmark ${name}; known: ${Object.keys(benchmarks).join(' ')}`);
    process.exitCode = 2;
    continue;
  }
  const bed = await Bed.create();
  const t0 = performance.now();
  try {
    const rows = await benchmarks[name](bed, settings[name]);
    for (const row of rows) row.name = `${name}: ${row.name}`;
    const waiting = rows.filter((row) => row.waiting);
    for (const row of waiting) notes.push(`${row.name}: waiting (${row.waiting})`);
    for (const row of rows.filter((r) => !r.waiting && r.samples.length === 0)) notes.push(`${row.name}: no samples`);
    all.push(...rows.filter((row) => !row.waiting && row.samples.length > 0));
  } catch (error) {
    failed = true;
    notes.push(`${name}: failed: ${error?.stack ?? error}`);
  } finally {
    notes.push(`${name}: ${((performance.now() - t0) / 1000).toFixed(1)} s`);
    removeHome(bed.home);
  }
}

const header = [
  `node ${process.version} on ${os.cpus().length} cores (${os.cpus()[0]?.model ?? 'unknown'}), ` +
  `${Math.round(os.totalmem() / 2 ** 30)} GiB, ${os.version()} ${os.release()}`,
  `scale ${scale}; medians with p10/p90 and min/max; "vs peer" is median / peer median`,
];
const table = formatTable(all);
const text = `${header.join('\n')}\n\n${table}\n\n${notes.join('\n')}\n`;
fs.writeFileSync(path.join(resultsDir, 'report.txt'), text);
fs.writeFileSync(path.join(resultsDir, 'results.json'),
  JSON.stringify({ header, scale, rows: rowsAsJson(all), notes }, null, 1));
console.log(text);
if (failed) process.exitCode = 1;
