// The home's log under load: several client runtimes capture at once, each
// a whole client operation through the product's client (event, terminal
// operation, work, checkpoint, version 2 exchange, end, terminal record),
// against one published resident that records each server work too. Enough
// is written to rotate the day's file at least twice while operations hold
// it; then every file is parsed and every operation's records counted.
//
// The day's limit is lowered through the home's "log-rotation-size" file,
// which only the test bed's build reads, so that a short run rotates. The
// figures for BENCHMARKS.md come from the diagnostic line at the end:
//   NUVRA_LOAD_CLIENTS (4) client runtimes, NUVRA_LOAD_CAPTURES (8) each.
import { describe, it, before, after } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { installHome, removeHome } from './lib/home.mjs';
import { today } from './lib/terminal_records.mjs';
import { client, openGate, request, whileServing } from './lib/serving.mjs';

const CLIENTS = Number(process.env.NUVRA_LOAD_CLIENTS ?? 4);
const CAPTURES = Number(process.env.NUVRA_LOAD_CAPTURES ?? 8);
// The limit is set from what one operation writes, so that the whole run
// fills about three files: at least two rotations, and no fourth, which
// would drop the oldest index (and the records of this run in it).
const FILES_FILLED = 3;
// What an operation may fail with here: its deadline, never its log.
const DEADLINE_REASONS = new Set(['profile_startup_timeout', 'profile_owner_wait',
  'broker_native_exchange_timeout', 'broker_deadline_refused']);

const logDirectory = (home) => path.win32.join(home.home, 'logs');
const logBytes = (home) => fs.readdirSync(logDirectory(home))
  .reduce((sum, name) => sum + fs.statSync(path.win32.join(logDirectory(home), name)).size, 0);

describe('the home\'s log under load', () => {
  let home;
  let limit;
  let results;
  let elapsedMs;
  before(async () => {
    home = await installHome();
    await whileServing(home, async () => {
      // One operation first: what it writes, client and server side, sets the limit.
      const start = logBytes(home);
      const [warm] = await client(home, [request('capture', JSON.stringify({ text: 'warm up' }))]);
      assert.ok(warm.text, JSON.stringify(warm));
      const perOperation = logBytes(home) - start;
      limit = Math.max(16384, Math.ceil((perOperation * (CLIENTS * CAPTURES + 1)) / FILES_FILLED));
      fs.writeFileSync(path.win32.join(home.home, 'log-rotation-size'), String(limit));
      const gate = path.win32.join(home.scratch, 'gate');
      fs.mkdirSync(gate);
      const began = performance.now();
      const started = Array.from({ length: CLIENTS }, (_, c) => client(home,
        Array.from({ length: CAPTURES }, (_, i) => request('capture', JSON.stringify({ text: `load ${c}.${i}` }))),
        gate));
      results = await openGate(gate, started);
      elapsedMs = performance.now() - began;
    });
  });
  after(() => removeHome(home));

  it('fails no operation for a logging reason', (t) => {
    const failed = results.flat().filter((r) => !r.text);
    const byReason = {};
    for (const r of failed) byReason[r.error] = (byReason[r.error] ?? 0) + 1;
    t.diagnostic(`${CLIENTS} clients of ${CAPTURES} captures in ${Math.round(elapsedMs)} ms: limit ${limit}, `
      + `${logBytes(home)} bytes in ${fs.readdirSync(logDirectory(home)).join(' ')}, `
      + `${failed.length} failed: ${JSON.stringify(byReason)}`);
    // A shared, loaded machine may still run an operation past its deadline.
    assert.deepEqual(failed.filter((r) => !DEADLINE_REASONS.has(r.error)), []);
    results.forEach((answers, c) => answers.forEach((r, i) => {
      if (r.text) assert.equal(JSON.parse(r.text).memory.text, `load ${c}.${i}`);
    }));
  });

  it('keeps every checkpoint and terminal record, in order, in one file each, across rotations', (t) => {
    const day = today();
    const names = fs.readdirSync(logDirectory(home)).sort();
    // Nothing but the day's files: no index dropped, nothing left aside.
    const files = names.length;
    assert.ok(files >= 3 && files <= 4, names.join(' '));
    assert.deepEqual(names, Array.from({ length: files }, (_, i) => `nuvra-${day}-${i}.jsonl`));
    const byId = new Map();
    let lines = 0;
    for (const name of names) {
      const text = fs.readFileSync(path.win32.join(logDirectory(home), name), 'utf8');
      assert.ok(text.endsWith('\n'), name);
      let offset = 0;
      // Terminal records are appended without the home's mutex, through the
      // file their checkpoint went to: those that landed between a write's
      // size check and its append (the terminal lines right before its own)
      // push it on by their length. Beyond that the writer's own appends
      // stay within the limit.
      let terminalRun = 0;
      text.slice(0, -1).split('\n').forEach((line, at) => {
        const record = JSON.parse(line);
        offset += Buffer.byteLength(line) + 1;
        lines += 1;
        if (record.event === 'operation_result') {
          terminalRun += Buffer.byteLength(line) + 1;
        } else {
          assert.ok(offset <= limit + terminalRun, `${name} line ${at} ends at ${offset}, ${terminalRun} bytes of terminal records before it`);
          terminalRun = 0;
        }
        if (record.event !== 'terminal_pending' && record.event !== 'operation_result') return;
        const seen = byId.get(record.operation_id) ?? [];
        seen.push({ name, at, event: record.event, record });
        byId.set(record.operation_id, seen);
      });
    }
    const operations = [...byId.values()];
    let lost = 0;
    for (const seen of operations) {
      // A checkpoint without its terminal record is an operation whose
      // deadline passed before its commit; a record without its checkpoint,
      // or in another file, or twice, is never right.
      if (seen.length === 1 && seen[0].event === 'terminal_pending') {
        lost += 1;
        continue;
      }
      assert.deepEqual(seen.map((s) => s.event), ['terminal_pending', 'operation_result'], JSON.stringify(seen));
      assert.equal(seen[0].name, seen[1].name);
      assert.ok(seen[0].at < seen[1].at);
    }
    const terminals = operations.filter((seen) => seen.length === 2).map((seen) => seen[1].record);
    const saved = terminals.filter((r) => r.client?.role === 'client' && r.ok && r.state === 'saved');
    // Each capture that succeeded (and the warm-up) has its client operation's record.
    const succeeded = results.flat().filter((r) => r.text).length + 1;
    const failed = CLIENTS * CAPTURES + 1 - succeeded;
    assert.equal(saved.length, succeeded);
    // At most the client operation and the server work of each failed one.
    assert.ok(lost <= 2 * failed, `${lost} checkpoints without a record, ${failed} operations failed`);
    t.diagnostic(`load: ${CLIENTS} clients, ${CLIENTS * CAPTURES} operations (${failed} failed on their deadline) `
      + `in ${Math.round(elapsedMs)} ms, limit ${limit} bytes, ${files - 1} rotations, ${lines} lines, `
      + `${lost} checkpoints without a terminal record`);
  });
});
