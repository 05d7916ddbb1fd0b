// Leak checks: one runtime, started through a product home's launcher, runs
// each capability's calls many times (children: a few hundred launches); its
// handle count (read by the native probe) and its working set after a full
// collection must not grow between a sample after a warm-up and a sample
// after the repetitions.
//
// The slack absorbs what Wine and node do on their own (a thread-pool
// thread, heap pages); a leak of one handle or one 4 KiB buffer per call
// exceeds it many times over.
import { describe, it, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { fileURLToPath } from 'node:url';
import { addonPath } from './lib/addon.mjs';
import { installHome, launchRuntime, removeHome, probePath, startRetries } from './lib/home.mjs';
import { MAX_RETRIES } from './lib/creation_retries.mjs';

// NUVRA_LEAK_SCALE multiplies every cycle's rounds and NUVRA_LEAK_CYCLES
// (comma-separated names) picks some, for a longer run outside the test
// command (see BENCHMARKS.md).
const selected = process.env.NUVRA_LEAK_CYCLES?.split(',');
const handleSlack = 6;
const memorySlack = 6 * 2 ** 20;
const cycles = {
  timingCheckpoint: 'timingCheckpoint',
  refusedCalls: 'calls refused with a reason code',
  works: 'beginWork and endWork',
  exchange: 'exchange against a live peer',
  exchangePhase: 'exchangePhase against a live peer',
  exchangeRefused: 'exchangePhase refused by a peer that closes mid-frame',
  clientOperation: 'a client operation: event, terminal operation, exchangePhase, end and commit',
  diagnosticEvents: 'newDiagnosticEvent, appendIngressDiagnostic and closeDiagnosticEvent',
  appendDiagnostic: 'appendDiagnostic under a work',
  childEcho: 'spawnAsync, write, end, poll and dispose of an echoing child',
  childKill: 'spawnAsync, kill, poll and dispose of a sleeping child',
};

describe('repeated calls leave no handles or memory behind', () => {
  let home;
  let report;
  let retries;
  before(async () => {
    home = await installHome();
    const start = () => launchRuntime({
      home,
      script: fileURLToPath(new URL('./lib/leak_runtime.mjs', import.meta.url)),
      timeoutMs: 300000,
      env: { NUVRA_LEAK: JSON.stringify({ addon: addonPath.testbed, probe: probePath(), broker: home.brokerImage,
        scale: Number(process.env.NUVRA_LEAK_SCALE ?? 1), cycles: selected }) },
    });
    const startsBefore = startRetries();
    let launch = await start();
    // A start that a loaded machine let miss its deadline is tried once more.
    const missed = launch.outcome !== 'acknowledged' ? 1 : 0;
    if (missed) launch = await start();
    const line = launch.stdout.trim().split(/\r?\n/).pop();
    assert.ok(line, `no report; launcher: ${launch.outcome} ${launch.reason} stderr: ${launch.stderr}`);
    const printed = JSON.parse(line);
    report = printed.cycles;
    retries = { ...printed.retries, start: missed + startRetries() - startsBefore };
  });
  after(() => home && removeHome(home));

  for (const [name, what] of Object.entries(cycles)) {
    it(`${what}: no handle or working-set growth`, (t) => {
      if (selected && !selected.includes(name)) {
        t.skip('not selected');
        return;
      }
      const r = report[name];
      assert.ok(r, `no result for ${name}`);
      assert.equal(r.error, undefined, r.error);
      assert.ok(Number.isInteger(r.before.handles) && r.before.handles > 0, 'the probe read no handle count');
      const launched = r.launches ? ` (${r.launches} launches, ${r.createRetries} retried so far)` : '';
      t.diagnostic(`${r.iterations} rounds${launched} in ${r.seconds.toFixed(1)} s: handles ${r.before.handles} -> ${r.after.handles}, ` +
        `working set ${(r.before.workingSet / 2 ** 20).toFixed(1)} -> ${(r.after.workingSet / 2 ** 20).toFixed(1)} MiB`);
      const handles = r.after.handles - r.before.handles;
      assert.ok(handles <= handleSlack, `${handles} more handles after ${r.iterations} rounds`);
      const grown = r.after.workingSet - r.before.workingSet;
      assert.ok(grown <= memorySlack,
        `working set grew by ${(grown / 2 ** 20).toFixed(1)} MiB after ${r.iterations} rounds`);
    });
  }

  it(`tries creations and launches again at most ${MAX_RETRIES} times in all`, (t) => {
    const total = retries.native + retries.launch + retries.start;
    t.diagnostic(`retries: ${JSON.stringify(retries)}`);
    assert.ok(Number.isInteger(total) && total <= MAX_RETRIES, JSON.stringify(retries));
  });

  it('the child cycles count the handles across hundreds of launches', (t) => {
    if (selected) {
      t.skip('a selection of cycles');
      return;
    }
    const launches = ['childEcho', 'childKill'].reduce((sum, name) => sum + (report[name]?.launches ?? 0), 0);
    assert.ok(launches >= 200, `only ${launches} launches were measured`);
  });
});
