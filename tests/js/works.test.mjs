// Works in real runtimes: each runtime is started from a product home by the
// home's launcher, takes its custody (initialize, finishStartup) and then
// runs a script of work calls; the cases read back what the script saw.
import { describe, it, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';
import { addonPath } from './lib/addon.mjs';
import { installHome, removeHome, brokerBuild, runJobScript, waitForFile } from './lib/home.mjs';

// The script a runtime runs: loads the testbed addon, takes custody, runs
// `body` (async) and prints `out` as one JSON line.
function script(body) {
  return `import { createRequire } from 'node:module';
import fs from 'node:fs';
import { Worker } from 'node:worker_threads';
const require = createRequire(import.meta.url);
const addonFile = ${JSON.stringify(addonPath.testbed)};
const addon = require(addonFile);
const out = {};
const attempt = (fn) => { try { return { value: fn() }; } catch (e) { return { error: e.message }; } };
const settle = async (fn) => { try { return { value: await fn() }; } catch (e) { return { error: e.message }; } };
const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));
const waitFor = async (file) => { while (!fs.existsSync(file)) await sleep(10); };
const [signalDir, brokerFile] = process.argv.slice(2);
// A holder of the home's mutex that takes it and lets go on this script's
// word (the broker's hold-serialization role in its input mode).
const { spawn } = await import('node:child_process');
const startHolder = async () => {
  const child = spawn(brokerFile, ['hold-serialization', profile.home, 'input'],
    { stdio: ['pipe', 'pipe', 'ignore'], windowsHide: true });
  const exited = new Promise((resolve) => child.on('close', resolve));
  let text = '';
  const waiters = [];
  child.stdout.setEncoding('utf8').on('data', (d) => { text += d; waiters.forEach((w) => w()); });
  const said = (word) => new Promise((resolve) => {
    const look = () => { if (text.includes(word)) resolve(); };
    waiters.push(look);
    look();
  });
  await said('waiting');
  return {
    take: () => { child.stdin.write('take\\n'); return said('held'); },
    release: () => child.stdin.end(),
    exited,
  };
};
out.init = attempt(() => addon.initialize());
out.finish = attempt(() => addon.finishStartup());
const profile = out.init.value ?? {};
const target = profile.root + '\\\\connector\\\\vevadu-code\\\\client\\\\nuvra_windows_broker_native.exe';
try {
${body}
} catch (e) { out.crashed = e.stack; }
console.log(JSON.stringify(out));
`;
}

// A job startup's 30,000 ms window keeps a slow start on a busy machine from
// failing the startup; works do not depend on the startup window.
const runScript = (home, body, args = []) => runJobScript(home, script(body), { args });

// Starts a holder role of the build's broker and resolves once it owns the
// home's mutex; `exited` resolves with its exit code.
function startHolder(home, role, ...args) {
  const child = spawn(brokerBuild.testbed, [role, home.home, ...args],
    { stdio: ['ignore', 'pipe', 'pipe'], windowsHide: true });
  const exited = new Promise((resolve) => child.on('close', resolve));
  const held = new Promise((resolve, reject) => {
    let text = '';
    child.stdout.setEncoding('utf8').on('data', (d) => { text += d; if (text.includes('held')) resolve(); });
    child.on('close', (code) => reject(new Error(`holder exited with ${code} before holding`)));
  });
  return { held, exited };
}

describe('works in one home', () => {
  let home;
  let signals;
  before(async () => {
    home = await installHome();
    signals = path.win32.join(home.scratch, 'signals');
    fs.mkdirSync(signals);
  });
  after(() => removeHome(home));

  describe('the life of a work', () => {
    let seen;
    before(async () => {
      seen = await runScript(home, `
out.plain = await settle(() => addon.beginWork());
out.binding = await settle(() => addon.checkWorkBinding(out.plain.value, target));
out.wrongTarget = await settle(() => addon.checkWorkBinding(out.plain.value, profile.root + '\\\\runtime\\\\node\\\\node.exe'));
out.endOnce = await settle(() => addon.endWork(out.plain.value));
out.endTwice = attempt(() => addon.endWork(out.plain.value));
out.bindingAfterEnd = attempt(() => addon.checkWorkBinding(out.plain.value, target));

out.long = await settle(() => addon.beginWork(() => 5000));
out.longFresh = await settle(() => addon.checkWorkBinding(out.long.value, target));
await sleep(1100);
out.longLater = attempt(() => addon.checkWorkBinding(out.long.value, target));
out.longEnd = await settle(() => addon.endWork(out.long.value));

out.server = await settle(() => addon.beginWork(() => 800, '-', 'server', 'status'));
out.unknownEvent = await settle(() => addon.beginWork(() => 800, 'f'.repeat(64), 'client', 'recall'));
out.next = [out.server.value, out.unknownEvent.value];
for (const id of out.next) await addon.endWork(id);

const foreignWork = await addon.beginWork(() => 1000);
out.foreign = await new Promise((resolve) => {
  const worker = new Worker(\`const { parentPort, workerData } = require('node:worker_threads');
const addon = require(workerData.file);
let seen;
try { addon.endWork(workerData.id); seen = 'accepted'; } catch (e) { seen = e.message; }
parentPort.postMessage(seen);\`, { eval: true, workerData: { file: addonFile, id: foreignWork } });
  worker.once('message', resolve);
  worker.once('error', (e) => resolve('worker failed: ' + e.message));
});
out.ownAfterForeign = await settle(() => addon.endWork(foreignWork));
`);
    });

    it('begins a warm unbound work without arguments and resolves with its decimal id', () => {
      assert.match(seen.plain.value, /^[1-9][0-9]*$/, JSON.stringify(seen.plain));
    });

    it('checks the binding to the native target and answers with the runtime object', () => {
      assert.deepEqual(seen.binding.value, {
        expected_role: 'managed_runtime', home: home.home, codeRoot: home.root,
        generation: home.generation, payload_digest: home.payloadDigest,
        native_sha256: home.nativeSha256,
      });
      assert.equal(seen.wrongTarget.error, 'profile_native_target');
    });

    it('ends a work once; afterwards its id names nothing', () => {
      assert.equal(seen.endOnce.value, true);
      assert.equal(seen.endTwice.error, 'profile_work_required');
      assert.equal(seen.bindingAfterEnd.error, 'profile_work_required');
    });

    it('caps a budget of 5000 ms at the warm 1000 ms', () => {
      assert.ok(seen.longFresh.value, JSON.stringify(seen.longFresh));
      assert.equal(seen.longLater.error, 'profile_startup_timeout');
      assert.equal(seen.longEnd.value, true);
    });

    it('accepts a server work and an unknown diagnostic event token', () => {
      assert.match(seen.server.value ?? '', /^[0-9]+$/, JSON.stringify(seen.server));
      assert.match(seen.unknownEvent.value ?? '', /^[0-9]+$/, JSON.stringify(seen.unknownEvent));
      assert.ok(BigInt(seen.unknownEvent.value) > BigInt(seen.server.value));
    });

    it('refuses a work id in another worker thread, which leaves the work to its owner', () => {
      assert.equal(seen.foreign, 'profile_work_required');
      assert.equal(seen.ownAfterForeign.value, true);
    });
  });

  describe('the live work limit', () => {
    let seen;
    before(async () => {
      seen = await runScript(home, `
const many = [];
for (let i = 0; i < 128; i++) many.push(addon.beginWork(() => 1000));
out.overLimit = attempt(() => addon.beginWork(() => 1000));
const settled = await Promise.allSettled(many);
const opened = settled.filter((s) => s.status === 'fulfilled').map((s) => s.value);
out.opened = opened;
out.refusals = [...new Set(settled.filter((s) => s.status === 'rejected').map((s) => s.reason.message))];
await Promise.all(opened.map((id) => addon.endWork(id)));
out.afterEnd = await settle(() => addon.beginWork(() => 1000));
`);
    });

    it('refuses the 129th live work', () => {
      assert.equal(seen.overLimit.error, 'profile_work_limit');
    });

    it('lets another work begin once the others are gone', () => {
      // On a busy machine some of the 128 opens may run out of budget; each
      // of them either opened or failed on its deadline, and the first, which
      // waits for nobody, opened.
      assert.ok(seen.opened.length >= 1, JSON.stringify(seen.refusals));
      assert.equal(new Set(seen.opened).size, seen.opened.length);
      for (const id of seen.opened) assert.match(id, /^[1-9][0-9]*$/);
      for (const reason of seen.refusals) {
        assert.ok(['profile_startup_timeout', 'profile_owner_wait'].includes(reason), reason);
      }
      assert.match(seen.afterEnd.value ?? '', /^[0-9]+$/, JSON.stringify(seen.afterEnd));
    });
  });

  describe('the work fence', () => {
    let seen;
    before(async () => {
      seen = await runScript(home, `
const state = profile.home + '\\\\state\\\\runtime\\\\';
// The same runtime selection in another key order.
out.open = await settle(() => addon.beginWork(() => 1000));
const currentFile = profile.home + '\\\\runtime\\\\current';
const current = fs.readFileSync(currentFile, 'utf8');
out.currentBefore = current;
const reordered = Object.fromEntries(Object.entries(JSON.parse(current)).reverse());
fs.writeFileSync(currentFile, JSON.stringify(reordered) + '\\n');
out.fencedBinding = await settle(() => addon.checkWorkBinding(out.open.value, target));
out.fencedBegin = await settle(() => addon.beginWork(() => 1000));
out.endFenced = await settle(() => addon.endWork(out.open.value));
fs.writeFileSync(currentFile, current);
out.unfenced = await settle(() => addon.beginWork(() => 1000));
// Admission with changed whitespace only.
const admissionFile = state + 'admission.json';
const admission = fs.readFileSync(admissionFile, 'utf8');
fs.writeFileSync(admissionFile, admission.replace('{', '{ '));
out.admissionFenced = await settle(() => addon.beginWork(() => 1000));
fs.writeFileSync(admissionFile, admission);
`);
    });

    it('fences works once the current-runtime record is rewritten in another key order', () => {
      assert.ok(seen.open.value, JSON.stringify(seen.open));
      assert.notEqual(seen.currentBefore.length, 0);
      assert.equal(seen.fencedBinding.error, 'profile_work_fenced');
      assert.equal(seen.fencedBegin.error, 'profile_work_fenced');
      assert.equal(seen.endFenced.value, true);
      assert.match(seen.unfenced.value ?? '', /^[0-9]+$/, JSON.stringify(seen.unfenced));
    });

    it('fences works once the admission record differs only in whitespace', () => {
      assert.equal(seen.admissionFenced.error, 'profile_work_fenced');
    });
  });

  // The writes wait for the holder while holding their owner's lock; the
  // JavaScript thread's own calls on the same work and event must not wait
  // behind them. The holder lets go only once a setImmediate callback has
  // run, so a thread that waited would leave the writes to fail on their
  // deadlines instead of writing.
  describe('the JavaScript thread while another process holds the home', () => {
    let seen;
    before(async () => {
      seen = await runScript(home, `
const holder = await startHolder();
const event = addon.newDiagnosticEvent();
const work = await addon.beginWork(() => 1000);
await holder.take();
const waiting = [
  settle(() => addon.appendDiagnostic(work, '{"line":1}\\n')),
  settle(() => addon.appendIngressDiagnostic(event, 'framing', 'started', 'none')),
];
await new Promise((resolve) => setImmediate(resolve));
const calls = [
  settle(() => addon.appendDiagnostic(work, '{"line":2}\\n')),
  settle(() => addon.appendIngressDiagnostic(event, 'framing', 'succeeded', 'none')),
];
await new Promise((resolve) => setImmediate(resolve));
holder.release();
out.waiting = await Promise.all(waiting);
out.calls = await Promise.all(calls);
out.end = await settle(() => addon.endWork(work));
out.holderExit = await holder.exited;

// Contention that resolves: the open waits for the holder, which lets go
// inside the work's budget.
const second = await startHolder();
await second.take();
const opening = settle(() => addon.beginWork(() => 1000));
await new Promise((resolve) => setImmediate(resolve));
second.release();
out.opened = await opening;
out.openedEnd = out.opened.value ? await settle(() => addon.endWork(out.opened.value)) : null;
out.secondExit = await second.exited;
`, [signals, brokerBuild.testbed]);
    });

    it('lets the JavaScript thread go on while writes wait, and writes all once the holder lets go', () => {
      const written = { value: true };
      assert.deepEqual([...seen.waiting, ...seen.calls, seen.end],
        [written, written, written, written, written], JSON.stringify(seen));
      assert.equal(seen.holderExit, 0);
    });

    it('opens a work whose holder lets go inside its budget', () => {
      assert.match(seen.opened.value ?? '', /^[1-9][0-9]*$/, JSON.stringify(seen.opened));
      assert.deepEqual(seen.openedEnd, { value: true });
      assert.equal(seen.secondExit, 0);
    });
  });

  describe('another process holding the home', () => {
    let seen;
    let holderExit;
    let dyingExit;
    before(async () => {
      const running = runScript(home, `
fs.writeFileSync(signalDir + '\\\\ready', '');
await waitFor(signalDir + '\\\\held');
const started = Date.now();
out.contended = await settle(() => addon.beginWork(() => 1000));
out.waitedMs = Date.now() - started;
fs.writeFileSync(signalDir + '\\\\done', '');
await waitFor(signalDir + '\\\\died');
out.abandoned = await settle(() => addon.beginWork(() => 1000));
out.servicing = fs.readFileSync(profile.home + '\\\\state\\\\runtime\\\\servicing.json', 'utf8');
out.afterRecovery = await settle(() => addon.beginWork(() => 1000));
`, [signals]);
      await waitForFile(path.win32.join(signals, 'ready'));
      const holder = startHolder(home, 'hold-serialization', '4000');
      await holder.held;
      fs.writeFileSync(path.win32.join(signals, 'held'), '');
      await waitForFile(path.win32.join(signals, 'done'));
      holderExit = await holder.exited;
      const dying = startHolder(home, 'die-holding-serialization');
      await dying.held;
      dyingExit = await dying.exited;
      fs.writeFileSync(path.win32.join(signals, 'died'), '');
      seen = await running;
    });

    it('ends the wait at the work deadline when the mutex is held past it', () => {
      assert.equal(seen.contended.error, 'profile_owner_wait');
      assert.ok(seen.waitedMs >= 500, String(seen.waitedMs));
      assert.equal(holderExit, 0);
    });

    it('recovers a mutex whose holder died and reports that recovery is required', () => {
      assert.equal(dyingExit, 9);
      assert.equal(seen.abandoned.error, 'profile_recovery_required');
      const record = JSON.parse(seen.servicing);
      assert.equal(record.state, 'RECOVERY_REQUIRED');
      assert.equal(JSON.parse(record.previous_record_text).state, 'COMMITTED');
      // The selection proven at startup is gone: every later work is fenced.
      assert.equal(seen.afterRecovery.error, 'profile_work_fenced');
    });
  });
});

// A recovery that cannot replace the servicing record (another process holds
// it open without delete sharing) poisons the runtime, which keeps the mutex
// owned until it ends: the next owner finds it abandoned again.
describe('a recovery that fails', () => {
  let home;
  let signals;
  let seen;
  let servicingBefore;
  before(async () => {
    home = await installHome();
    signals = path.win32.join(home.scratch, 'signals');
    fs.mkdirSync(signals);
    const servicing = path.win32.join(home.home, 'state', 'runtime', 'servicing.json');
    servicingBefore = fs.readFileSync(servicing, 'utf8');
    const running = runScript(home, `
fs.writeFileSync(signalDir + '\\\\ready', '');
await waitFor(signalDir + '\\\\died');
out.recovery = await settle(() => addon.beginWork(() => 1000));
out.later = await settle(() => addon.beginWork(() => 1000));
fs.writeFileSync(signalDir + '\\\\refused', '');
await waitFor(signalDir + '\\\\end');
`, [signals]);
    await waitForFile(path.win32.join(signals, 'ready'));
    const fileHolder = spawn(brokerBuild.testbed, ['hold-file', servicing],
      { stdio: ['pipe', 'pipe', 'ignore'], windowsHide: true });
    const fileHolderExited = new Promise((resolve) => fileHolder.on('close', resolve));
    await new Promise((resolve) => fileHolder.stdout.on('data', resolve));
    const dying = startHolder(home, 'die-holding-serialization');
    await dying.held;
    await dying.exited;
    fs.writeFileSync(path.win32.join(signals, 'died'), '');
    // The next owner opens the mutex while the runtime still lives (the
    // object would be gone after its end) and waits; it gets the mutex only
    // when the runtime ends, and finds it abandoned, never released.
    let nextOwner;
    try {
      await waitForFile(path.win32.join(signals, 'refused'));
      nextOwner = spawn(brokerBuild.testbed, ['hold-serialization', home.home, 'input'],
        { stdio: ['pipe', 'pipe', 'ignore'], windowsHide: true });
      const ownerExited = new Promise((resolve) => nextOwner.on('close', resolve));
      let text = '';
      const waiters = new Set();
      nextOwner.stdout.setEncoding('utf8').on('data', (d) => { text += d; waiters.forEach((w) => w()); });
      const said = (word) => new Promise((resolve) => {
        const look = () => { if (text.includes(word)) { waiters.delete(look); resolve(); } };
        waiters.add(look);
        look();
      });
      await said('waiting');
      nextOwner.stdin.write('take\n');
      await said('opened');
      fs.writeFileSync(path.win32.join(signals, 'end'), '');
      seen = await running;
      await said('held');
      nextOwner.stdin.end();
      seen.nextOwner = { code: await ownerExited, said: text.trim().split(/\r?\n/) };
    } finally {
      fileHolder.stdin.end();
      await fileHolderExited;
    }
    seen.servicingAfter = fs.readFileSync(servicing, 'utf8');
  });
  after(() => removeHome(home));

  it('reports the recovery reason and refuses work from then on', () => {
    assert.deepEqual(seen.recovery, { error: 'profile_recovery_replace' }, JSON.stringify(seen));
    assert.deepEqual(seen.later, { error: 'profile_custody_required' });
    assert.equal(seen.servicingAfter, servicingBefore);
  });

  it('leaves the mutex owned until the runtime ends', () => {
    assert.deepEqual(seen.nextOwner, { code: 0, said: ['waiting', 'opened', 'held abandoned'] });
  });
});

// endResident outside a resident poisons the process; from then on no
// entry may start new work, and nothing reaches the diagnostic log.
describe('a poisoned runtime', () => {
  let home;
  let seen;
  before(async () => {
    home = await installHome();
    seen = await runScript(home, `
const logs = () => fs.existsSync(profile.home + '\\\\logs') ? fs.readdirSync(profile.home + '\\\\logs')
  .map((name) => fs.readFileSync(profile.home + '\\\\logs\\\\' + name, 'utf8')).join('') : '';
const work = await addon.beginWork(() => 1000);
out.logBefore = logs();
out.poison = attempt(() => addon.endResident());
out.refused = {
  beginWork: await settle(() => addon.beginWork(() => 1000)),
  checkWorkBinding: await settle(() => addon.checkWorkBinding(work, target)),
  spawnAsync: await settle(() => addon.spawnAsync(work, target, ['child', 'exit', '0'], {})),
  appendDiagnostic: await settle(() => addon.appendDiagnostic(work, '{"line":1}\\n')),
};
out.logAfter = logs();
`);
  });
  after(() => removeHome(home));

  it('refuses every new work and writes nothing', () => {
    assert.deepEqual(seen.poison, { error: 'profile_resident_required' });
    assert.deepEqual(seen.refused, {
      beginWork: { error: 'profile_custody_required' },
      checkWorkBinding: { error: 'profile_poisoned' },
      spawnAsync: { error: 'profile_poisoned' },
      appendDiagnostic: { error: 'profile_poisoned' },
    });
    assert.equal(seen.logAfter, seen.logBefore);
  });
});
