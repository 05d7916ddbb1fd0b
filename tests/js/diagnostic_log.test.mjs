// Diagnostic lines written through the addon by initialised runtimes: the
// stage records of events, a work's own lines, and the level switch. Each
// runtime runs a script and prints what it saw; the cases then read the
// home's log files.
import { describe, it, before, after } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { addonPath } from './lib/addon.mjs';
import { spawn } from 'node:child_process';
import { brokerBuild, installHome, removeHome, runJobScript } from './lib/home.mjs';

function script(body) {
  return `import { createRequire } from 'node:module';
const addon = createRequire(import.meta.url)(${JSON.stringify(addonPath.testbed)});
const out = {};
const attempt = (fn) => { try { return { value: fn() }; } catch (e) { return { error: e.message, name: e.name }; } };
const settle = async (fn) => { try { return { value: await fn() }; } catch (e) { return { error: e.message, name: e.name }; } };
out.init = attempt(() => addon.initialize());
out.finish = attempt(() => addon.finishStartup());
try {
${body}
} catch (e) { out.crashed = e.stack; }
console.log(JSON.stringify(out));
`;
}

const runScript = (home, body, env = {}) => runJobScript(home, script(body), { env });

const today = () => new Date().toISOString().slice(0, 10).replaceAll('-', '');
const logFile = (home, index = 0) =>
  path.win32.join(home.home, 'logs', `nuvra-${today()}-${index}.jsonl`);
const logLines = (home) => {
  const file = logFile(home);
  if (!fs.existsSync(file)) return [];
  return fs.readFileSync(file, 'utf8').split('\n').filter((line) => line !== '');
};

const stageKeys = ['schema_version', 'event', 'event_id', 'diagnostic_id', 'operation', 'utc', 'pid',
  'stage', 'outcome', 'reason', 'elapsed_ms', 'event_elapsed_ms'];

describe('stage records of diagnostic events', () => {
  let home;
  let seen;
  before(async () => {
    home = await installHome();
    seen = await runScript(home, `
      const token = addon.newDiagnosticEvent('mcp');
      out.token = token;
      out.pid = process.pid;
      out.started = await settle(() => addon.appendIngressDiagnostic(token, 'framing', 'started', 'none'));
      out.failed = await settle(() => addon.appendIngressDiagnostic(token, 'framing', 'failed', 'mcp_frame_invalid'));
      const bound = addon.newDiagnosticEvent();
      out.boundToken = bound;
      const work = await addon.beginWork(() => 1000, bound);
      out.busy = attempt(() => addon.appendIngressDiagnostic(bound, 'framing', 'started', 'none'));
      out.workLine = await settle(() => addon.appendDiagnostic(work,
        JSON.stringify({ event_id: bound, note: 'one' }) + '\\n' + JSON.stringify({ event_id: bound, note: 'two' }) + '\\n'));
      out.mismatch = attempt(() => addon.appendDiagnostic(work, JSON.stringify({ event_id: token }) + '\\n'));
      out.noEventId = attempt(() => addon.appendDiagnostic(work, '{"note":1}\\n'));
      out.notObject = attempt(() => addon.appendDiagnostic(work, '5\\n'));
      out.notJson = attempt(() => addon.appendDiagnostic(work, '{oops\\n'));
      await addon.endWork(work);
      out.afterEnd = attempt(() => addon.appendDiagnostic(work, '{}\\n'));
      addon.closeDiagnosticEvent(token);
      // Ended twice: the second end completes after the event is bound anew.
      const shared = addon.newDiagnosticEvent();
      const first = await addon.beginWork(() => 3000, shared);
      const ends = [addon.endWork(first), addon.endWork(first)];
      await ends[0];
      const second = await addon.beginWork(() => 3000, shared);
      await Promise.allSettled(ends);
      out.reboundBusy = attempt(() => addon.appendIngressDiagnostic(shared, 'framing', 'started', 'none'));
      await addon.endWork(second);
    `);
  });
  after(() => removeHome(home));

  it('resolves event-owned writes with true', () => {
    assert.deepEqual(seen.started, { value: true });
    assert.deepEqual(seen.failed, { value: true });
  });

  it('writes each stage record as one line with its keys in order', () => {
    const records = logLines(home).map((line) => JSON.parse(line)).filter((r) => r.event_id === seen.token);
    assert.equal(records.length, 2);
    for (const record of records) assert.deepEqual(Object.keys(record), stageKeys);
    const [started, failed] = records;
    assert.equal(started.schema_version, 'nuvra.local-diagnostic.v1');
    assert.equal(started.event, 'stage');
    assert.equal(started.operation, 'mcp');
    assert.equal(started.pid, seen.pid);
    assert.equal(started.diagnostic_id.length, 36);
    assert.equal(started.diagnostic_id[14], '4');
    assert.equal(started.diagnostic_id[19], 'a');
    assert.match(started.utc, /^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z$/);
    assert.deepEqual([started.stage, started.outcome, started.reason, started.elapsed_ms],
      ['framing', 'started', 'none', 0]);
    assert.deepEqual([failed.outcome, failed.reason], ['failed', 'mcp_frame_invalid']);
    assert.ok(failed.event_elapsed_ms >= started.event_elapsed_ms);
  });

  it('creates the logs directory and the day file as owner-only objects of the home', () => {
    assert.ok(fs.statSync(path.win32.join(home.home, 'logs')).isDirectory());
    assert.ok(fs.statSync(logFile(home)).isFile());
  });

  it('refuses stage records of an event bound to a work', () => {
    assert.equal(seen.busy.error, 'diagnostic_event_busy');
  });

  it('keeps an event bound to its new work when the old work is ended twice', () => {
    assert.equal(seen.reboundBusy.error, 'diagnostic_event_busy');
  });

  it("writes a work's lines that name its event", () => {
    assert.deepEqual(seen.workLine, { value: true });
    const notes = logLines(home).map((line) => JSON.parse(line)).filter((r) => r.event_id === seen.boundToken);
    assert.deepEqual(notes.map((r) => r.note), ['one', 'two']);
  });

  it('refuses a work line that names another event or none', () => {
    assert.equal(seen.mismatch.error, 'diagnostic_event_mismatch');
    assert.equal(seen.noEventId.error, 'profile_string');
    assert.equal(seen.notObject.error, 'profile_string');
  });

  it("lets a line that is not JSON surface as the engine's own parse error", () => {
    assert.equal(seen.notJson.name, 'SyntaxError');
  });

  it('knows no ended work', () => {
    assert.equal(seen.afterEnd.error, 'profile_work_required');
  });
});

describe('lines of a work without an event', () => {
  let home;
  let seen;
  let off;
  before(async () => {
    home = await installHome();
    seen = await runScript(home, `
      const work = await addon.beginWork();
      const lines = (n) => Array.from({ length: n }, (_, i) => JSON.stringify({ n: i }) + '\\n').join('');
      out.sixtyFour = await settle(() => addon.appendDiagnostic(work, lines(64)));
      out.sixtyFive = attempt(() => addon.appendDiagnostic(work, lines(65)));
      out.empty = attempt(() => addon.appendDiagnostic(work, '{}\\n\\n{}\\n'));
      out.unterminated = attempt(() => addon.appendDiagnostic(work, '{}'));
      out.longest = await settle(() => addon.appendDiagnostic(work, 'x'.repeat(4095) + '\\n'));
      out.tooLong = attempt(() => addon.appendDiagnostic(work, 'x'.repeat(4096) + '\\n'));
      out.unknownWork = attempt(() => addon.appendDiagnostic('999999', '{}\\n'));
      out.unbound = await addon.beginWork(() => 1000, 'f'.repeat(64));
      out.unboundLine = await settle(() => addon.appendDiagnostic(out.unbound, '{}\\n'));
      await addon.endWork(work);
    `);
    off = await runScript(home, `
      const work = await addon.beginWork();
      out.event = attempt(() => addon.newDiagnosticEvent());
      out.line = await settle(() => addon.appendDiagnostic(work, '{"off":true}\\n'));
    `, { NUVRA_AUTH_LOG_LEVEL: 'off' });
  });
  after(() => removeHome(home));

  it('accepts 64 lines and refuses 65, an empty line or a missing final newline', () => {
    assert.deepEqual(seen.sixtyFour, { value: true });
    assert.equal(seen.sixtyFive.error, 'diagnostic_record_invalid');
    assert.equal(seen.empty.error, 'diagnostic_record_invalid');
    assert.equal(seen.unterminated.error, 'diagnostic_record_invalid');
  });

  it('takes lines of up to 4,096 bytes with their newline', () => {
    assert.deepEqual(seen.longest, { value: true });
    assert.equal(seen.tooLong.error, 'diagnostic_record_invalid');
  });

  it('writes the text as it was given', () => {
    const lines = logLines(home);
    assert.deepEqual(lines.slice(0, 64).map((line) => JSON.parse(line).n),
      Array.from({ length: 64 }, (_, i) => i));
    assert.equal(lines[64], 'x'.repeat(4095));
  });

  it('refuses a work id the environment does not own', () => {
    assert.equal(seen.unknownWork.error, 'profile_work_required');
  });

  it('refuses the lines of a work whose named event could not be bound', () => {
    assert.equal(seen.unboundLine.error, 'diagnostic_unavailable');
  });

  it('with level "off" refuses events and rejects every write', () => {
    assert.equal(off.event.error, 'profile_custody_required');
    assert.equal(off.line.error, 'diagnostic_unavailable');
    assert.ok(!logLines(home).some((line) => line.includes('"off"')));
  });
});

// Every appender of a log file holds its append lock for its write: a
// holder keeps a write out until the writer's deadline, which then fails
// with its reason, and a holder that is killed lets the next write in.
describe('the append lock of a log file', () => {
  let home;
  before(async () => { home = await installHome(); });
  after(() => removeHome(home));

  it('keeps writes out while another process holds it, and goes with a killed holder', async () => {
    const write = (line) => runScript(home, `
      const work = await addon.beginWork(() => 1000);
      out.line = await settle(() => addon.appendDiagnostic(work, '${line}\\n'));
      await addon.endWork(work);
    `);
    assert.deepEqual((await write('{"first":1}')).line, { value: true });
    const holder = spawn(brokerBuild.testbed, ['hold-file', logFile(home), 'append-lock'],
      { stdio: ['pipe', 'pipe', 'inherit'], windowsHide: true });
    const exited = new Promise((resolve) => holder.on('close', resolve));
    await new Promise((resolve) => holder.stdout.on('data', resolve));
    try {
      assert.deepEqual((await write('{"held":1}')).line, { error: 'diagnostic_unavailable', name: 'Error' });
    } finally {
      holder.kill();
      await exited;
    }
    assert.deepEqual((await write('{"after":1}')).line, { value: true });
    assert.deepEqual(logLines(home).map((line) => Object.keys(JSON.parse(line))[0]), ['first', 'after']);
  });
});
