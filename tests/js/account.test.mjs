// The account worker in real job startups with an account purpose: the home's
// own broker executable in its account-worker role, prepared and readied
// before the acknowledgement, then lent works after it. The worker's test
// faults (testbed broker only) are picked by the word in the home's
// "account-worker-fault" file, written before each runtime starts.
import { describe, it, before, after } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { addonPath } from './lib/addon.mjs';
import { installHome, launchRuntime, removeHome } from './lib/home.mjs';

// The runtime's script: `out` is printed as one JSON line at the end.
// `gone(pid)` polls until the process no longer exists (bounded by a count).
function script(body) {
  return `import { createRequire } from 'node:module';
const require = createRequire(import.meta.url);
const addon = require(${JSON.stringify(addonPath.testbed)});
const out = {};
const reason = async (fn) => { try { const v = await fn(); return v === true ? 'ok' : v; } catch (e) { return e.message; } };
const settle = (fn) => reason(async () => fn());
const gone = async (pid) => {
  for (let polls = 0; polls < 5000; polls++) {
    try { process.kill(pid, 0); } catch { return true; }
    await new Promise((r) => setTimeout(r, 1));
  }
  return false;
};
try {
  addon.initialize();
${body}
} catch (e) { out.failure = e.message; }
console.log(JSON.stringify(out));
`;
}

// A runtime that outlives its startup deadline (the never-ready worker is
// waited for until then) is kept by its launcher, so it can report.
async function start(home, { fault = '', purpose = 'connect', deadlineMs, body }) {
  fs.writeFileSync(path.win32.join(home.home, 'account-worker-fault'), fault);
  const launch = await launchRuntime({ home, role: 'job', purpose, deadlineMs, keepOnTimeout: true,
    source: script(body) });
  const line = launch.stdout.trim().split(/\r?\n/).pop();
  assert.ok(line, `no output; ${launch.launcherOutput} ${launch.reason} ${launch.stderr}`);
  const seen = JSON.parse(line);
  assert.equal(seen.failure, undefined, launch.stderr);
  return { seen, launch };
}

describe('account worker in setup mode', () => {
  let home;
  before(async () => { home = await installHome(); });
  after(() => removeHome(home));

  it('runs the worker through its states and acknowledges the startup', async () => {
    const { seen, launch } = await start(home, { body: `
  out.early = await settle(() => addon.finishStartup());
  out.prepared = await addon.prepareAccountWorker();
  out.secondPrepare = await settle(() => addon.prepareAccountWorker());
  const ready = addon.readyAccountWorker();
  out.readyWhileRunning = await settle(() => addon.readyAccountWorker());
  out.ready = await reason(() => ready);
  out.readyAgain = await settle(() => addon.readyAccountWorker());
  out.polled = Object.keys(addon.poll(out.prepared.id));
  out.finish = await settle(() => addon.finishStartup());
  // A warm work lasts a second: each is begun right before its steps.
  const w1 = await addon.beginWork();
  out.adopt = await reason(() => addon.adoptAccountWorker(w1));
  out.adoptSame = await settle(() => addon.adoptAccountWorker(w1));
  const w2 = await addon.beginWork();
  out.adoptSecond = await settle(() => addon.adoptAccountWorker(w2));
  out.releaseNeverAdopted = await settle(() => addon.releaseAccountWorker(w2));
  out.disposeAdopted = await settle(() => addon.dispose(out.prepared.id));
  out.release = await reason(() => addon.releaseAccountWorker(w1));
  out.releaseAgain = await settle(() => addon.releaseAccountWorker(w1));
  out.adoptReleased = await settle(() => addon.adoptAccountWorker(w1));
  await addon.endWork(w1);
  await addon.endWork(w2);
  const w3 = await addon.beginWork();
  out.adoptAfterRelease = await reason(() => addon.adoptAccountWorker(w3));
  out.endAdopted = await reason(() => addon.endWork(w3));
  const w4 = await addon.beginWork();
  out.stillServing = await reason(() => addon.adoptAccountWorker(w4));
  out.endThird = await reason(() => addon.endWork(w4));
  out.dispose = await reason(() => addon.dispose(out.prepared.id));
  out.pollDisposed = await settle(() => addon.poll(out.prepared.id));
  out.workerGone = await gone(out.prepared.pid);
  out.workAfter = typeof await addon.beginWork();
` });
    assert.equal(launch.outcome, 'acknowledged', launch.launcherOutput);
    const table = [
      ['early', 'profile_account_not_ready'],
      ['secondPrepare', 'profile_account_startup_required'],
      ['readyWhileRunning', 'profile_account_busy'],
      ['ready', 'ok'],
      ['readyAgain', 'profile_account_busy'],
      ['finish', 'ok'],
      ['adopt', 'ok'],
      ['adoptSame', 'profile_account_work_reused'],
      ['adoptSecond', 'profile_account_busy'],
      ['releaseNeverAdopted', 'profile_account_work_required'],
      ['disposeAdopted', 'profile_account_busy'],
      ['release', 'ok'],
      ['releaseAgain', 'profile_account_work_required'],
      ['adoptReleased', 'profile_account_work_reused'],
      ['adoptAfterRelease', 'ok'],
      ['endAdopted', 'ok'],
      ['stillServing', 'ok'],
      ['endThird', 'ok'],
      ['dispose', 'ok'],
      ['pollDisposed', 'child_not_owned'],
      ['workerGone', true],
      ['workAfter', 'string'],
    ];
    for (const [key, expected] of table) assert.equal(seen[key], expected, key);
    // The first child id of the environment; the worker answers to it.
    assert.equal(seen.prepared.id, 1);
    assert.ok(seen.prepared.pid > 0);
    assert.deepEqual(seen.polled, ['stdout', 'stderr', 'write_complete']);
  });

  it('hands the worker real control handles before it runs', async () => {
    const { seen } = await start(home, { fault: 'report', body: `
  const worker = await addon.prepareAccountWorker();
  out.pid = process.pid;
  let text = '';
  while (!text.includes('\\n')) {
    const p = addon.poll(worker.id);
    if (p.stdout) text += p.stdout.toString('utf8');
    if (p.stdout === false || 'exit_code' in p) break;
    await new Promise((r) => setImmediate(r));
  }
  out.record = JSON.parse(text);
  out.ready = await reason(() => addon.readyAccountWorker());
  addon.finishStartup();
` });
    const record = seen.record;
    assert.equal(seen.ready, 'ok');
    assert.deepEqual(Object.keys(record), ['schema_version', 'home', 'root', 'owner_sid_hash',
      'payload_digest', 'generation', 'deadline_tick64', 'startup_kind', 'instance_nonce', 's',
      'l', 'parent', 'parent_pid', 'control_read', 'control_write', 'work_volume', 'work_id',
      'guards']);
    assert.equal(record.schema_version, 'nuvra.profile-idle-account.v1');
    assert.equal(record.startup_kind, 'setup');
    assert.equal(record.parent_pid, seen.pid);
    assert.equal(record.home, home.home);
    assert.match(record.control_read, /^[1-9][0-9]*$/);
    assert.match(record.control_write, /^[1-9][0-9]*$/);
    assert.notEqual(record.instance_nonce, '0');
    assert.ok(record.guards.some((g) => g.handle === record.l));
  });

  it('refuses a worker outside a job startup with an account purpose', async () => {
    const { seen } = await start(home, { purpose: 'none', body: `
  out.before = await settle(() => addon.prepareAccountWorker());
  out.finish = await settle(() => addon.finishStartup());
  out.after = await settle(() => addon.prepareAccountWorker());
  out.ready = await settle(() => addon.readyAccountWorker());
  const work = await addon.beginWork();
  out.adopt = await settle(() => addon.adoptAccountWorker(work));
` });
    assert.deepEqual(seen, {
      before: 'profile_account_startup_required',
      finish: 'ok',
      after: 'profile_account_startup_required',
      ready: 'profile_account_busy',
      adopt: 'profile_account_unavailable',
    });
  });

  // The worker's environment is copied from the runtime's own: a runtime that
  // removed SystemRoot gets no worker, and none is left in its slot.
  it('refuses a worker to a runtime without SystemRoot and keeps none', async () => {
    const { seen } = await start(home, { body: `
  delete process.env.SystemRoot;
  out.prepare = await settle(() => addon.prepareAccountWorker());
  out.ready = await settle(() => addon.readyAccountWorker());
  out.again = await settle(() => addon.prepareAccountWorker());
` });
    assert.deepEqual(seen, {
      prepare: 'profile_account_environment',
      ready: 'profile_account_busy',
      again: 'profile_account_startup_required',
    });
  });

  // Each fault ends in its reason, the worker dies with its teardown, the
  // runtime is poisoned and refuses to go on.
  const readyFaults = [
    { fault: 'never-ready', deadlineMs: 8000, expected: 'profile_account_control_timeout' },
    { fault: 'wrong-nonce', expected: 'profile_account_control_reply' },
    { fault: 'wrong-sequence', expected: 'profile_account_control_reply' },
    { fault: 'split-frame', expected: 'profile_account_control_frame' },
    { fault: 'two-frames', expected: 'profile_account_control_frame' },
  ];
  for (const { fault, deadlineMs, expected } of readyFaults) {
    it(`tears down a worker whose ready frame is faulty: ${fault}`, async () => {
      const { seen, launch } = await start(home, { fault, deadlineMs, body: `
  const worker = await addon.prepareAccountWorker();
  out.ready = await reason(() => addon.readyAccountWorker());
  out.workerGone = await gone(worker.pid);
  out.poll = await settle(() => addon.poll(worker.id));
  out.finish = await settle(() => addon.finishStartup());
` });
      assert.deepEqual(seen, {
        ready: expected, workerGone: true, poll: 'child_not_owned',
        finish: 'profile_custody_required',
      });
      assert.notEqual(launch.outcome, 'acknowledged');
    });
  }

  const exchangeFaults = [
    { fault: 'exit-on-adopt', adopt: 'profile_account_exited', release: 'profile_account_work_required' },
    { fault: 'silent-revoke', adopt: 'ok', release: 'profile_account_control_timeout' },
  ];
  for (const { fault, adopt, release } of exchangeFaults) {
    it(`tears down a worker that fails an exchange: ${fault}`, async () => {
      const { seen } = await start(home, { fault, body: `
  const worker = await addon.prepareAccountWorker();
  await addon.readyAccountWorker();
  addon.finishStartup();
  const work = await addon.beginWork();
  out.adopt = await reason(() => addon.adoptAccountWorker(work));
  out.release = await reason(() => addon.releaseAccountWorker(work));
  out.workerGone = await gone(worker.pid);
  out.next = await settle(() => addon.beginWork());
` });
      assert.deepEqual(seen, { adopt, release, workerGone: true, next: 'profile_custody_required' });
    });
  }
});
