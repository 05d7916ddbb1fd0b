import { describe, it } from 'node:test';
import assert from 'node:assert/strict';
import { mkdirSync, readFileSync, rmSync, existsSync } from 'node:fs';
import { loadAddon, thrownMessage } from './lib/addon.mjs';

// The launcher of a traced attempt creates this directory; the addon does not.
const traceDirectory = 'C:\\Tevra\\ona\\temp\\st24data\\trace';
const traceFile = (id) => `${traceDirectory}\\${id}-${process.pid}-native.jsonl`;
const readLines = (id) => existsSync(traceFile(id))
  ? readFileSync(traceFile(id), 'utf8').split('\n').filter(Boolean) : [];
// A fresh attempt id per run, so parallel runs never share a file name.
const freshId = () => [...crypto.getRandomValues(new Uint8Array(16))]
  .map((b) => b.toString(16).padStart(2, '0')).join('');

describe('timingCheckpoint', () => {
  const addon = loadAddon();
  mkdirSync(traceDirectory, { recursive: true });

  it('refuses every name but the three first-line checkpoints', () => {
    for (const bad of ['native_profile_entry', 'startup_ack_sent', 'Worker_first_line',
      'worker_first_line ', 'worker_first_line\0', '', 'x'.repeat(300), 42, null, {}]) {
      assert.equal(thrownMessage(() => addon.timingCheckpoint(bad)), 'timing_stage_invalid',
        JSON.stringify(bad));
    }
  });

  it('returns true before initialize, whether or not the attempt is traced', () => {
    delete process.env.NUVRA_STARTUP_ATTEMPT;
    assert.equal(addon.timingCheckpoint('preload_first_line'), true);
    process.env.NUVRA_STARTUP_ATTEMPT = 'not an attempt id';
    assert.equal(addon.timingCheckpoint('worker_first_line'), true);
  });

  it('appends a line with the stage, this pid and a current tick to the attempt file', () => {
    const id = freshId();
    process.env.NUVRA_STARTUP_ATTEMPT = id;
    try {
      for (const stage of ['resident_first_line', 'worker_first_line', 'preload_first_line']) {
        assert.equal(addon.timingCheckpoint(stage), true);
      }
      const lines = readLines(id);
      assert.equal(lines.length, 3);
      const records = lines.map((line) => JSON.parse(line));
      assert.deepEqual(records.map((r) => r.stage),
        ['resident_first_line', 'worker_first_line', 'preload_first_line']);
      for (const [i, record] of records.entries()) {
        assert.deepEqual(Object.keys(record),
          ['schema_version', 'attempt_id', 'source', 'stage', 'pid', 'monotonic_ms']);
        assert.equal(record.schema_version, 'nuvra.startup-timing.v1');
        assert.equal(record.attempt_id, id);
        assert.equal(record.source, 'native_addon');
        assert.equal(record.pid, process.pid);
        assert.ok(Number.isInteger(record.monotonic_ms) && record.monotonic_ms > 0);
        if (i > 0) assert.ok(record.monotonic_ms >= records[i - 1].monotonic_ms);
        assert.ok(!lines[i].includes(' '));
      }
    } finally {
      delete process.env.NUVRA_STARTUP_ATTEMPT;
      rmSync(traceFile(id), { force: true });
    }
  });

  it('writes nothing for an attempt id with uppercase letters or of 31 or 33 characters', () => {
    const id = freshId();
    for (const bad of [id.slice(0, 31) + 'A', id.slice(0, 31), id + '0']) {
      process.env.NUVRA_STARTUP_ATTEMPT = bad;
      assert.equal(addon.timingCheckpoint('worker_first_line'), true);
      assert.equal(existsSync(traceFile(bad)), false, bad);
    }
    delete process.env.NUVRA_STARTUP_ATTEMPT;
  });

  it('writes at most 256 lines in a process', () => {
    const id = freshId();
    process.env.NUVRA_STARTUP_ATTEMPT = id;
    try {
      // The earlier cases of this process spent 3 lines of the budget.
      for (let i = 0; i < 300; ++i) addon.timingCheckpoint('worker_first_line');
      assert.equal(readLines(id).length, 256 - 3);
    } finally {
      delete process.env.NUVRA_STARTUP_ATTEMPT;
      rmSync(traceFile(id), { force: true });
    }
  });
});
