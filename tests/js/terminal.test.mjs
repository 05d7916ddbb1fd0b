// Terminal operations in launched runtimes: the checkpoint and terminal
// records an operation leaves in the day's log, checked byte for byte
// against records built here from the format's rules, the refusals of each
// step, the process-purpose claim of a "connect" job startup, and the broker
// observation of a work.
import { describe, it, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { addonPath } from './lib/addon.mjs';
import { installHome, removeHome, runJobScript } from './lib/home.mjs';
import { expectedCheckpoint, expectedTerminal, rawLines, recordsOf, stampPattern }
  from './lib/terminal_records.mjs';

function script(body, { account = false } = {}) {
  return `import { createRequire } from 'node:module';
import fs from 'node:fs';
const addonFile = ${JSON.stringify(addonPath.testbed)};
const addon = createRequire(import.meta.url)(addonFile);
const out = {};
const attempt = (fn) => { try { return { value: fn() }; } catch (e) { return { error: e.message }; } };
const settle = async (fn) => { try { return { value: await fn() }; } catch (e) { return { error: e.message }; } };
try {
out.init = attempt(() => addon.initialize());
${account ? 'await addon.prepareAccountWorker(); await addon.readyAccountWorker();' : ''}
const early = [];
${account ? 'out.early = attempt(() => addon.newTerminalOperation("connect", "-"));' : ''}
out.finish = attempt(() => addon.finishStartup());
const profile = out.init.value ?? {};
const target = profile.root + '\\\\connector\\\\vevadu-code\\\\client\\\\nuvra_windows_broker_native.exe';
${body}
} catch (e) { out.crashed = e.stack; }
console.log(JSON.stringify(out));
`;
}

const runScript = (home, body, options = {}) =>
  runJobScript(home, script(body, options), { purpose: options.purpose });

describe('terminal operations of diagnostic events', () => {
  let home;
  let seen;
  let linesBeforeLink;
  before(async () => {
    home = await installHome();
    seen = await runScript(home, `
const event = addon.newDiagnosticEvent('worker');
out.ownerless = attempt(() => addon.newTerminalOperation('capture', '-'));
out.badName = attempt(() => addon.newTerminalOperation('captures', event));
const op = addon.newTerminalOperation('worker', event);
out.keys = Object.keys(op);
out.claimedAgain = attempt(() => addon.newTerminalOperation('worker', event));
const work = await addon.beginWork(() => 1000, event);
out.noArgs = attempt(() => addon.prepareTerminal());
out.fourArgs = attempt(() => addon.prepareTerminal(op, work, '-', '-'));
out.untagged = attempt(() => addon.prepareTerminal({}, work, '-', '-', 'native_end'));
out.prepared = await settle(() => addon.prepareTerminal(op, work, '-', '-', 'native_end'));
out.prepareAgain = attempt(() => addon.prepareTerminal(op, work, '-', '-', 'native_end'));
// The end's completion waits for this thread, which stays busy for 150 ms
// after the end was requested.
const ending = addon.endWork(work);
const busyUntil = performance.now() + 150;
while (performance.now() < busyUntil);
await ending;
out.committed = await settle(() => addon.commitTerminal(op, true, 'saved', 'none', 'terminal'));
out.commitAgain = attempt(() => addon.commitTerminal(op, true, 'saved', 'none', 'terminal'));
out.closed = attempt(() => addon.closeTerminalOperation(op));
out.afterClose = attempt(() => addon.closeTerminalOperation(op));

// A closed operation's object never reaches a newer operation, whichever
// address the newer one was given: each step, taken through the stale
// object, is refused and the newer operation still takes it itself.
const staleSteps = {
  close: (op) => addon.closeTerminalOperation(op),
  commit: (op) => addon.commitTerminal(op, true, 'saved', 'none', 'terminal'),
  prepare: (op) => addon.prepareTerminal(op, work, '-', '-', 'native_end'),
};
out.stale = [];
for (const [step, call] of Object.entries(staleSteps)) {
  for (let round = 0; round < 4; round++) {
    const oldEvent = addon.newDiagnosticEvent();
    const old = addon.newTerminalOperation('worker', oldEvent);
    addon.closeTerminalOperation(old);
    addon.closeDiagnosticEvent(oldEvent);
    const newEvent = addon.newDiagnosticEvent();
    const fresh = addon.newTerminalOperation('worker', newEvent);
    const viaStale = attempt(() => call(old));
    if (viaStale.value instanceof Promise) viaStale.value = await settle(() => viaStale.value);
    out.stale.push({ step, viaStale, freshCloses: attempt(() => addon.closeTerminalOperation(fresh)) });
    addon.closeDiagnosticEvent(newEvent);
  }
}

// A mismatched operation name still claims the event.
const mcp = addon.newDiagnosticEvent('mcp');
out.mismatch = attempt(() => addon.newTerminalOperation('worker', mcp));
out.mismatchAgain = attempt(() => addon.newTerminalOperation('mcp', mcp));

// Commit before the work's end; an attempt id one short; a success with a
// failure reason; ok not a boolean; logging switched off.
const e2 = addon.newDiagnosticEvent();
const op2 = addon.newTerminalOperation('worker', e2);
const w2 = await addon.beginWork(() => 1000, e2);
out.p2 = await settle(() => addon.prepareTerminal(op2, w2, '-', '-', 'native_end'));
out.commitEarly = await settle(() => addon.commitTerminal(op2, false, 'failed', 'broker_native_exited', 'terminal'));
await addon.endWork(w2);
out.commitLater = attempt(() => addon.commitTerminal(op2, false, 'failed', 'broker_native_exited', 'terminal'));
addon.closeTerminalOperation(op2);

const e3 = addon.newDiagnosticEvent();
const op3 = addon.newTerminalOperation('worker', e3);
const w3 = await addon.beginWork(() => 1000, e3);
out.shortAttempt = attempt(() => addon.prepareTerminal(op3, w3, 'a'.repeat(63), '-', 'native_end'));
out.afterShort = attempt(() => addon.prepareTerminal(op3, w3, '-', '-', 'native_end'));
await addon.endWork(w3);
addon.closeTerminalOperation(op3);

const e4 = addon.newDiagnosticEvent();
const op4 = addon.newTerminalOperation('worker', e4);
const w4 = await addon.beginWork(() => 1000, e4);
await addon.prepareTerminal(op4, w4, '-', '-', 'native_end');
await addon.endWork(w4);
out.okWithReason = await settle(() => addon.commitTerminal(op4, true, 'failed', 'broker_native_peer_refused', 'terminal'));
addon.closeTerminalOperation(op4);

const e5 = addon.newDiagnosticEvent();
const op5 = addon.newTerminalOperation('worker', e5);
const w5 = await addon.beginWork(() => 1000, e5);
await addon.prepareTerminal(op5, w5, '-', '-', 'native_end');
await addon.endWork(w5);
out.okString = await settle(() => addon.commitTerminal(op5, 'true', 'saved', 'none', 'terminal'));
addon.closeTerminalOperation(op5);

const e6 = addon.newDiagnosticEvent();
const op6 = addon.newTerminalOperation('worker', e6);
const w6 = await addon.beginWork(() => 1000, e6);
process.env.NUVRA_AUTH_LOG_LEVEL = 'off';
out.loggingOff = attempt(() => addon.prepareTerminal(op6, w6, '-', '-', 'native_end'));
delete process.env.NUVRA_AUTH_LOG_LEVEL;
await addon.endWork(w6);
addon.closeTerminalOperation(op6);

// Two operations in flight at once, each with its own records.
const ea = addon.newDiagnosticEvent();
const eb = addon.newDiagnosticEvent('mcp');
const opa = addon.newTerminalOperation('worker', ea);
const opb = addon.newTerminalOperation('mcp', eb);
const wa = await addon.beginWork(() => 1000, ea);
const wb = await addon.beginWork(() => 1000, eb);
out.preparedA = await settle(() => addon.prepareTerminal(opa, wa, '-', '-', 'native_end'));
out.preparedB = await settle(() => addon.prepareTerminal(opb, wb, '-', '-', 'native_end'));
await addon.endWork(wa);
await addon.endWork(wb);
out.committedA = await settle(() => addon.commitTerminal(opa, false, 'failed', 'broker_native_exited', 'native_end'));
out.committedB = await settle(() => addon.commitTerminal(opb, true, 'recalled', 'none', 'terminal'));
addon.closeTerminalOperation(opa);
addon.closeTerminalOperation(opb);

// 128 live operations at most.
let made = 0;
const live = [];
for (;;) {
  const e = addon.newDiagnosticEvent();
  const result = attempt(() => addon.newTerminalOperation('worker', e));
  addon.closeDiagnosticEvent(e);
  if (result.error) { out.overLimit = result; break; }
  live.push(result.value);
  if (++made > 200) break;
}
out.made = made;
addon.closeTerminalOperation(live.pop());
const again = addon.newDiagnosticEvent();
out.afterOneClosed = attempt(() => Object.keys(addon.newTerminalOperation('worker', again)));
for (const o of live) addon.closeTerminalOperation(o);

// The log file gains a second link between checkpoint and commit.
const el = addon.newDiagnosticEvent();
const opl = addon.newTerminalOperation('worker', el);
const wl = await addon.beginWork(() => 1000, el);
await addon.prepareTerminal(opl, wl, '-', '-', 'native_end');
await addon.endWork(wl);
const day = new Date().toISOString().slice(0, 10).replaceAll('-', '');
const file = profile.home + '\\\\logs\\\\nuvra-' + day + '-0.jsonl';
out.linesBeforeLink = fs.readFileSync(file, 'utf8');
fs.linkSync(file, file + '.second');
out.linked = await settle(() => addon.commitTerminal(opl, true, 'saved', 'none', 'terminal'));
// Any other write opens the file anew and finds the link too.
const wlinked = await addon.beginWork();
out.appendWhileLinked = await settle(() => addon.appendDiagnostic(wlinked, '{"n":1}\\n'));
await addon.endWork(wlinked);
out.linesAfterLink = fs.readFileSync(file, 'utf8');
addon.closeTerminalOperation(opl);
fs.unlinkSync(file + '.second');
`);
  });
  after(() => removeHome(home));

  it('writes the checkpoint and the terminal record byte for byte', () => {
    assert.deepEqual(seen.keys, []);
    assert.deepEqual(seen.prepared, { value: true });
    assert.deepEqual(seen.committed, { value: true });
    const { checkpoint, terminals, id } = recordsOf(home, 'worker');
    assert.match(id, /^[0-9a-f]{64}$/);
    const utc = JSON.parse(checkpoint).utc;
    assert.match(utc, stampPattern);
    assert.equal(checkpoint, expectedCheckpoint({ id, attempt: '', request: '', operation: 'worker', utc }));
    assert.equal(terminals.length, 1);
    const written = JSON.parse(terminals[0]);
    assert.match(written.utc, stampPattern);
    const e = written.elapsed;
    // The work's budget of 1,000 ms is earlier than the event's 3,000 ms.
    assert.equal(e.original_budget_ms, 1000);
    assert.equal(e.operation_ms, e.work_ms + e.end_ms + e.projection_ms);
    // Requested, then completed at least 150 ms later (ticks may round down).
    assert.ok(e.end_ms >= 100, JSON.stringify(e));
    assert.equal(terminals[0], expectedTerminal({ id, attempt: '', request: '', operation: 'worker',
      phase: 'terminal', ok: true, state: 'saved', reason: 'none', utc: written.utc, elapsed: e }));
  });

  it('takes each step once and refuses foreign objects', () => {
    assert.equal(seen.ownerless.error, 'terminal_owner_refused');
    assert.equal(seen.badName.error, 'terminal_invalid');
    assert.equal(seen.claimedAgain.error, 'terminal_owner_refused');
    assert.equal(seen.noArgs.error, 'arguments_invalid');
    assert.equal(seen.fourArgs.error, 'arguments_invalid');
    assert.equal(seen.untagged.error, 'terminal_owner_refused');
    assert.equal(seen.prepareAgain.error, 'terminal_consumed');
    assert.equal(seen.commitAgain.error, 'terminal_consumed');
    assert.deepEqual(seen.closed, { value: true });
    assert.equal(seen.afterClose.error, 'terminal_owner_refused');
    assert.equal(seen.mismatch.error, 'terminal_owner_refused');
    assert.equal(seen.mismatchAgain.error, 'terminal_owner_refused');
  });

  it('refuses a closed operation\'s object for every step, never acting on a newer one', () => {
    assert.equal(seen.stale.length, 12);
    for (const row of seen.stale) {
      assert.deepEqual(row, { step: row.step, viaStale: { error: 'terminal_owner_refused' },
        freshCloses: { value: true } });
    }
  });

  it('refuses out-of-order and invalid steps', () => {
    assert.deepEqual(seen.p2, { value: true });
    assert.equal(seen.commitEarly.error, 'terminal_end_required');
    assert.equal(seen.commitLater.error, 'terminal_consumed');
    assert.equal(seen.shortAttempt.error, 'terminal_invalid');
    assert.equal(seen.afterShort.error, 'terminal_consumed');
    assert.equal(seen.okWithReason.error, 'terminal_invalid');
    assert.equal(seen.okString.error, 'terminal_invalid');
    assert.equal(seen.loggingOff.error, 'terminal_unavailable');
  });

  it('writes no terminal record for a refused commit', () => {
    const lines = rawLines(home);
    const terminals = lines.filter((line) => line.includes('"event":"operation_result"'));
    // The first operation and the two concurrent ones.
    assert.equal(terminals.length, 3, terminals.join(''));
  });

  it('keeps the records of two operations in flight apart', () => {
    assert.deepEqual([seen.preparedA, seen.preparedB, seen.committedA, seen.committedB],
      [{ value: true }, { value: true }, { value: true }, { value: true }]);
    const b = recordsOf(home, 'mcp');
    assert.equal(b.terminals.length, 1);
    assert.equal(JSON.parse(b.terminals[0]).state, 'recalled');
  });

  it('holds at most 128 live operations', () => {
    assert.equal(seen.made, 128);
    assert.equal(seen.overLimit.error, 'terminal_unavailable');
    assert.deepEqual(seen.afterOneClosed, { value: [] });
  });

  it('refuses a log file that gained a link and leaves it unchanged', () => {
    assert.equal(seen.linked.error, 'terminal_unavailable');
    assert.equal(seen.appendWhileLinked.error, 'diagnostic_unavailable');
    assert.equal(seen.linesAfterLink, seen.linesBeforeLink);
  });
});

// The checkpoint's write waits for the home's mutex, here held by another
// process; each step the JavaScript thread takes on the same operation
// returns while the mutex is still held, and the checkpoint runs once it is
// let go, finding what that step left.
describe('an operation whose checkpoint waits for the home\'s mutex', () => {
  let home;
  let seen;
  before(async () => {
    home = await installHome();
    seen = await runScript(home, `
const { spawn } = await import('node:child_process');
const hold = async () => {
  const child = spawn(target, ['hold-serialization', profile.home, 'input'],
    { stdio: ['pipe', 'pipe', 'ignore'], windowsHide: true });
  const exited = new Promise((resolve) => child.on('close', resolve));
  let text = '';
  const waiters = new Set();
  child.stdout.setEncoding('utf8').on('data', (d) => { text += d; for (const w of [...waiters]) w(); });
  const said = (word) => new Promise((resolve) => {
    const look = () => { if (text.includes(word)) { waiters.delete(look); resolve(); } };
    waiters.add(look);
    look();
  });
  await said('waiting');
  return {
    take: () => { child.stdin.write('take\\n'); return said('held'); },
    release: () => { child.stdin.end(); return exited; },
  };
};
const steps = {
  close: (op) => addon.closeTerminalOperation(op),
  commit: (op) => addon.commitTerminal(op, true, 'saved', 'none', 'terminal'),
};
out.steps = {};
for (const [step, call] of Object.entries(steps)) {
  // The holder starts before the work's budget does.
  const holder = await hold();
  const event = addon.newDiagnosticEvent('worker');
  const op = addon.newTerminalOperation('worker', event);
  const work = await addon.beginWork(() => 3000, event);
  await holder.take();
  const checkpoint = settle(() => addon.prepareTerminal(op, work, '-', '-', 'native_end'));
  // Room for the job to reach its wait; what is checked does not hang on it.
  await new Promise((resolve) => setTimeout(resolve, 100));
  const result = attempt(() => call(op));
  out.steps[step] = { result, holderExit: await holder.release(), checkpoint: await checkpoint };
  await addon.endWork(work);
  attempt(() => addon.closeTerminalOperation(op));
  addon.closeDiagnosticEvent(event);
}
`);
  });
  after(() => removeHome(home));

  it('lets the JavaScript thread close or commit while the checkpoint waits', () => {
    assert.deepEqual(seen.steps, {
      // A waiting checkpoint held the operation until its own deadline
      // ("profile_owner_wait") before the step could return.
      close: { result: { value: true }, holderExit: 0, checkpoint: { error: 'terminal_unavailable' } },
      commit: { result: { error: 'terminal_end_required' }, holderExit: 0, checkpoint: { value: true } },
    }, JSON.stringify(seen));
  });
});

describe('the purpose operation of a "connect" job startup', () => {
  let home;
  let seen;
  const attemptId = '0123456789abcdef-'.repeat(4).slice(0, 64);
  const requestId = '01234567-89ab-cdef-0123-456789abcdef';
  before(async () => {
    home = await installHome();
    seen = await runScript(home, `
out.wrongPurpose = attempt(() => addon.newTerminalOperation('finish', '-'));
out.withEvent = attempt(() => addon.newTerminalOperation('connect', 'a'.repeat(64)));
const op = out.early.value;
out.second = attempt(() => addon.newTerminalOperation('connect', '-'));
const work = await addon.beginWork();
out.prepared = await settle(() => addon.prepareTerminal(op, work, '${attemptId}', '${requestId}', 'startup'));
await addon.endWork(work);
out.committed = await settle(() => addon.commitTerminal(op, false, 'failed', 'broker_native_exited', 'terminal'));
out.closed = attempt(() => addon.closeTerminalOperation(op));
`, { purpose: 'connect', account: true });
  });
  after(() => removeHome(home));

  it('lets one operation claim the purpose', () => {
    assert.deepEqual(seen.early, { value: {} });
    assert.equal(seen.wrongPurpose.error, 'terminal_owner_refused');
    assert.equal(seen.withEvent.error, 'terminal_owner_refused');
    assert.equal(seen.second.error, 'terminal_owner_refused');
  });

  it('writes both records with ids and null evidence', () => {
    assert.deepEqual([seen.prepared, seen.committed, seen.closed],
      [{ value: true }, { value: true }, { value: true }]);
    const { checkpoint, terminals, id } = recordsOf(home, 'connect');
    const utc = JSON.parse(checkpoint).utc;
    assert.equal(checkpoint, expectedCheckpoint({ id, attempt: attemptId, request: requestId,
      operation: 'connect', utc }));
    assert.equal(terminals.length, 1);
    const written = JSON.parse(terminals[0]);
    assert.equal(written.elapsed.original_budget_ms, 1000);
    assert.equal(terminals[0], expectedTerminal({ id, attempt: attemptId, request: requestId,
      operation: 'connect', phase: 'terminal', ok: false, state: 'failed',
      reason: 'broker_native_exited', utc: written.utc, elapsed: written.elapsed }));
    assert.ok(terminals[0].endsWith('"client":null,"server":null}\n'));
  });
});

describe('the operations of an environment that ends', () => {
  let home;
  let seen;
  before(async () => {
    home = await installHome();
    seen = await runScript(home, `
const { Worker } = await import('node:worker_threads');
const source = [
  "const { parentPort } = require('node:worker_threads');",
  'const addon = require(' + JSON.stringify(addonFile) + ');',
  'let made = 0;',
  'try {',
  '  for (; made < 128; made++) {',
  '    const e = addon.newDiagnosticEvent();',
  "    addon.newTerminalOperation('worker', e);",
  '    addon.closeDiagnosticEvent(e);',
  '  }',
  '} catch (e) { made = e.message; }',
  'parentPort.postMessage(made);',
  'setInterval(() => {}, 1000);',
].join('\\n');
const worker = new Worker(source, { eval: true });
out.workerMade = await new Promise((resolve) => {
  worker.once('message', resolve);
  worker.once('error', (e) => resolve(e.message));
});
const e1 = addon.newDiagnosticEvent();
out.whileWorkerLives = attempt(() => Object.keys(addon.newTerminalOperation('worker', e1)));
out.terminated = await worker.terminate();
const e2 = addon.newDiagnosticEvent();
out.afterWorkerEnded = attempt(() => Object.keys(addon.newTerminalOperation('worker', e2)));
`);
  });
  after(() => removeHome(home));

  it('gives the room of its operations back', () => {
    assert.equal(seen.workerMade, 128);
    assert.equal(seen.whileWorkerLives.error, 'terminal_unavailable');
    assert.deepEqual(seen.afterWorkerEnded, { value: [] });
  });
});

describe('broker observation', () => {
  let home;
  let seen;
  before(async () => {
    home = await installHome();
    seen = await runScript(home, `
const work = await addon.beginWork(() => 1000);
out.pid = process.pid;
out.identity = await settle(() => addon.observeBroker(work, 'identity', target, profile.home, process.pid));
out.residency = await settle(() => addon.observeBroker(work, 'residency', target, profile.home.toUpperCase(), process.pid));
out.purposeCase = attempt(() => addon.observeBroker(work, 'Identity', target, profile.home, process.pid));
out.otherHome = attempt(() => addon.observeBroker(work, 'identity', target, profile.home + 'x', process.pid));
out.pidString = attempt(() => addon.observeBroker(work, 'identity', target, profile.home, String(process.pid)));
out.otherPid = attempt(() => addon.observeBroker(work, 'identity', target, profile.home, process.pid + 4));
out.wrongTarget = await settle(() => addon.observeBroker(work, 'identity', profile.root + '\\\\runtime\\\\node\\\\node.exe', profile.home, process.pid));
out.profile = profile;
await addon.endWork(work);
out.ended = attempt(() => addon.observeBroker(work, 'identity', target, profile.home, process.pid));
`);
  });
  after(() => removeHome(home));

  const runtimeKeys = ['purpose', 'expected_role', 'home', 'codeRoot', 'generation', 'payload_digest',
    'native_sha256'];

  it('describes who the runtime is, in hashes', () => {
    const result = seen.identity.value;
    assert.ok(result, JSON.stringify(seen.identity));
    assert.deepEqual(Object.keys(result),
      ['owner_sid_hash', 'authentication_id_hash', 'windows_session_id', ...runtimeKeys]);
    assert.match(result.owner_sid_hash, /^[0-9a-f]{64}$/);
    assert.match(result.authentication_id_hash, /^[0-9a-f]{64}$/);
    assert.equal(typeof result.windows_session_id, 'number');
    assert.equal(result.purpose, 'identity');
    assert.equal(result.expected_role, 'managed_runtime');
    assert.equal(result.home, seen.profile.home);
    for (const value of Object.values(result)) assert.doesNotMatch(String(value), /S-1-/);
  });

  it('describes where the runtime runs', () => {
    const result = seen.residency.value;
    assert.ok(result, JSON.stringify(seen.residency));
    assert.deepEqual(Object.keys(result),
      ['broker_scope', 'pid', 'process_creation_filetime', 'image_path_sha256', ...runtimeKeys]);
    assert.ok(['machine', 'harness_session'].includes(result.broker_scope));
    assert.equal(result.pid, seen.pid);
    assert.match(result.process_creation_filetime, /^[1-9][0-9]*$/);
    assert.match(result.image_path_sha256, /^[0-9a-f]{64}$/);
    assert.equal(result.purpose, 'residency');
  });

  it('refuses what does not describe this runtime', () => {
    assert.equal(seen.purposeCase.error, 'profile_observation_purpose');
    assert.equal(seen.otherHome.error, 'profile_observation_home');
    assert.equal(seen.pidString.error, 'profile_observation_pid');
    assert.equal(seen.otherPid.error, 'profile_observation_pid');
    assert.equal(seen.wrongTarget.error, 'profile_native_target');
    assert.equal(seen.ended.error, 'profile_work_required');
  });
});

// A terminal record is appended through the file its checkpoint went to, past
// the writer's rotation; a day's file it pushed over the size limit must
// still take the next write (by rotating), not refuse every write of the day.
describe('a day\'s file a terminal record overran', () => {
  let home;
  let seen;
  before(async () => {
    home = await installHome();
    seen = await runScript(home, `
const day = new Date().toISOString().slice(0, 10).replaceAll('-', '');
const file = (index) => profile.home + '\\\\logs\\\\nuvra-' + day + '-' + index + '.jsonl';
const size = (index) => (fs.existsSync(file(index)) ? fs.statSync(file(index)).size : null);
const line = (bytes) => '{"fill":"' + 'x'.repeat(bytes - 12) + '"}\\n';
let work = await addon.beginWork(() => 1000);
let opened = performance.now();
const append = async (bytes) => {
  if (performance.now() - opened > 400) { await addon.endWork(work); work = await addon.beginWork(() => 1000); opened = performance.now(); }
  await addon.appendDiagnostic(work, line(bytes));
};
// Fill index 0 until 400 bytes are left: room for a checkpoint, not for
// the terminal record after it.
await append(100);
while (1048576 - size(0) - 400 > 4000) await append(4000);
await append(1048576 - size(0) - 400);
await addon.endWork(work);
out.left = 1048576 - size(0);
const event = addon.newDiagnosticEvent('worker');
const op = addon.newTerminalOperation('worker', event);
const opWork = await addon.beginWork(() => 1000, event);
out.prepared = await settle(() => addon.prepareTerminal(op, opWork, '-', '-', 'native_end'));
await addon.endWork(opWork);
out.committed = await settle(() => addon.commitTerminal(op, true, 'saved', 'none', 'terminal'));
addon.closeTerminalOperation(op);
addon.closeDiagnosticEvent(event);
out.overran = size(0) - 1048576;
const next = await addon.beginWork(() => 1000);
out.next = await settle(() => addon.appendDiagnostic(next, line(200)));
await addon.endWork(next);
out.after = { index0: size(0), index1: size(1) };
out.lastOfIndex1 = fs.readFileSync(file(1), 'utf8').trimEnd().split('\\n').pop();
`);
  });
  after(() => removeHome(home));

  it('takes the next write into a new file and keeps the record beside its checkpoint', () => {
    assert.equal(seen.left, 400, JSON.stringify(seen));
    assert.deepEqual([seen.prepared, seen.committed], [{ value: true }, { value: true }]);
    assert.ok(seen.overran > 0 && seen.overran <= 4096, String(seen.overran));
    assert.deepEqual(seen.next, { value: true });
    assert.deepEqual(seen.after, { index0: 200, index1: 1048576 + seen.overran });
    assert.equal(JSON.parse(seen.lastOfIndex1).event, 'operation_result');
  });
});
