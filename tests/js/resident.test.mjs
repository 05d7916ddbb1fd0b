// Resident runtimes started by the home's launcher: the reservation, the
// host, the toolkit, and what ends them (endResident, or the broker startup
// ceiling passing with nothing published). Every resident call of a script
// runs before its ceiling; what the cases check is read after the runtime
// has ended, from its output, its log files and processes outside it.
import { describe, it, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';
import { addonPath } from './lib/addon.mjs';
import { installHome, launchRuntime, removeHome, brokerBuild, waitForFile } from './lib/home.mjs';

const STAGES = ['worker_prepare', 'worker_ready', 'account_validate', 'account_ready',
  'account_end', 'host_prepare', 'host_ready', 'publish'];

// A runtime script: loads the testbed addon, runs `body` (async) and prints
// `out` as one JSON line.
function script(body) {
  return `import { createRequire } from 'node:module';
import fs from 'node:fs';
import { spawn } from 'node:child_process';
const require = createRequire(import.meta.url);
const addon = require(${JSON.stringify(addonPath.testbed)});
const out = {};
const attempt = (fn) => { try { return { value: fn() }; } catch (e) { return { error: e.message }; } };
const settle = async (fn) => { try { return { value: await fn() }; } catch (e) { return { error: e.message }; } };
const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));
const waitFor = async (file) => { while (!fs.existsSync(file)) await sleep(10); };
// The host's standard output up to its first full line, or its exit.
const hostLine = async (id) => {
  let text = '';
  for (;;) {
    const polled = addon.poll(id);
    if (polled.stdout) text += Buffer.from(polled.stdout).toString('utf8');
    if (text.includes('\\n')) return text.slice(0, text.indexOf('\\n'));
    if (polled.exit_code !== undefined || polled.stdout === false) return JSON.stringify({ exit_code: polled.exit_code, text });
    await sleep(5);
  }
};
const hostExit = async (id) => {
  for (;;) {
    const polled = addon.poll(id);
    if (polled.exit_code !== undefined) return polled.exit_code;
    await sleep(5);
  }
};
const [arg1, arg2] = process.argv.slice(2);
try {
${body}
} catch (e) { out.crashed = e.stack; }
console.log(JSON.stringify(out));
`;
}

async function runResident(home, body, options = {}) {
  const launch = await launchRuntime({ home, role: 'resident', source: script(body), ...options });
  const line = launch.stdout.trim().split(/\r?\n/).pop();
  assert.ok(line, `no output; launcher: ${launch.launcherOutput} ${launch.reason} stderr: ${launch.stderr}`);
  const seen = JSON.parse(line);
  assert.equal(seen.crashed, undefined, seen.crashed);
  return { seen, launch };
}

// Starts the build's hold-resident role; resolves once it owns the
// reservation. `stop()` ends it and resolves when it has exited.
function holdReservation(home, ...extra) {
  const child = spawn(brokerBuild.testbed, ['hold-resident', home.home, '600000', ...extra],
    { stdio: ['ignore', 'pipe', 'pipe'], windowsHide: true });
  const exited = new Promise((resolve) => child.on('close', resolve));
  const held = new Promise((resolve, reject) => {
    let text = '';
    child.stdout.setEncoding('utf8').on('data', (d) => { text += d; if (text.includes('held')) resolve(); });
    child.on('close', (code) => reject(new Error(`holder exited with ${code} before holding`)));
  });
  return { held, stop: () => { child.kill(); return exited; } };
}

function residentLogLines(home) {
  const logs = path.win32.join(home.home, 'logs');
  if (!fs.existsSync(logs)) return [];
  return fs.readdirSync(logs).sort().flatMap((name) =>
    fs.readFileSync(path.win32.join(logs, name), 'utf8').split('\n'))
    .filter((line) => line.includes('"scope":"resident_startup"'));
}

describe('a resident runtime', () => {
  let home;
  before(async () => { home = await installHome(); });
  after(() => removeHome(home));

  describe('reserves, starts its host and ends with endResident', () => {
    let seen;
    let lines;
    before(async () => {
      // "OFF" is not "off": diagnostics stay on and the host gets no variable.
      ({ seen } = await runResident(home, `
out.pid = process.pid;
out.statusBefore = attempt(() => addon.residentStatus());
out.init = attempt(() => addon.initialize());
out.statusUnacknowledged = attempt(() => addon.residentStatus());
out.finish = attempt(() => addon.finishStartup());
out.status = attempt(() => addon.residentStatus());
out.checkpoints = [];
for (const stage of ${JSON.stringify(STAGES)}) out.checkpoints.push(await settle(() => addon.residentCheckpoint(stage)));
out.wrongCase = await settle(() => addon.residentCheckpoint('Publish'));
out.host = await settle(() => addon.spawnResidentHost());
out.secondHost = await settle(() => addon.spawnResidentHost());
out.observed = await settle(() => addon.observeResident());
out.ready = await hostLine(out.host.value.id);
out.end = attempt(() => addon.endResident());
out.hostExit = await hostExit(out.host.value.id);
out.statusAfter = attempt(() => addon.residentStatus());
out.checkpointAfter = attempt(() => addon.residentCheckpoint('publish'));
out.endAgain = attempt(() => addon.endResident());
`, { env: { NUVRA_AUTH_LOG_LEVEL: 'OFF' } }));
      lines = residentLogLines(home);
    });

    it('has no resident state before initialize and must acknowledge before its status', () => {
      assert.deepEqual(seen.statusBefore, { value: null });
      assert.equal(seen.init.value?.root, home.root, JSON.stringify(seen.init));
      assert.deepEqual(seen.statusUnacknowledged, { error: 'profile_resident_handoff_required' });
      assert.deepEqual(seen.finish, { value: true });
    });

    it('reports the time used and left against the 3,000 ms ceiling', () => {
      const status = seen.status.value;
      assert.deepEqual(Object.keys(status), ['remaining_ms', 'elapsed_ms']);
      assert.ok(status.remaining_ms > 0 && status.remaining_ms <= 3000, JSON.stringify(status));
      assert.equal(status.remaining_ms + status.elapsed_ms, 3000);
    });

    it('writes one checkpoint line per accepted stage, names compared exactly', () => {
      assert.deepEqual(seen.checkpoints, STAGES.map(() => ({ value: true })));
      assert.deepEqual(seen.wrongCase, { error: 'diagnostic_stage_invalid' });
      assert.equal(lines.length, STAGES.length, lines.join('\n'));
      lines.forEach((line, index) => {
        const match = /^\{"schema_version":"nuvra\.resident-startup-diagnostic\.v1","scope":"resident_startup","stage":"([a-z_]+)","elapsed_ms":(\d+),"remaining_ms":(\d+)\}$/.exec(line);
        assert.ok(match, line);
        assert.equal(match[1], STAGES[index]);
        assert.equal(Number(match[2]) + Number(match[3]), 3000, line);
      });
    });

    it('starts one host as a managed child, which gets its record and no diagnostics switch', () => {
      assert.equal(typeof seen.host.value?.id, 'number', JSON.stringify(seen.host));
      assert.ok(seen.host.value.pid > 0);
      assert.deepEqual(seen.secondHost, { error: 'profile_resident_host_duplicate' });
      assert.ok(Number.isInteger(seen.pid) && seen.pid !== seen.host.value.pid, JSON.stringify(seen));
      assert.deepEqual(JSON.parse(seen.ready), { host: 'ready', parent_pid: seen.pid, guards: 3, diagnostics: 'on' });
    });

    it('observes itself as the runtime of its home', () => {
      const o = seen.observed.value;
      assert.ok(o, JSON.stringify(seen.observed));
      assert.deepEqual(Object.keys(o), ['broker_scope', 'pid', 'process_creation_filetime',
        'image_path_sha256', 'purpose', 'expected_role', 'home', 'codeRoot', 'generation',
        'payload_digest', 'native_sha256']);
      assert.ok(['harness_session', 'machine'].includes(o.broker_scope));
      assert.equal(o.purpose, 'residency');
      assert.equal(o.expected_role, 'managed_runtime');
      assert.equal(o.home, home.home);
      assert.equal(o.codeRoot, home.root);
      assert.equal(o.native_sha256, home.nativeSha256);
      assert.match(o.process_creation_filetime, /^[1-9]\d*$/);
      assert.match(o.image_path_sha256, /^[0-9a-f]{64}$/);
    });

    it('ends the host with its job and is no longer available', () => {
      assert.deepEqual(seen.end, { value: true });
      assert.equal(seen.hostExit, 0);
      assert.deepEqual(seen.statusAfter, { error: 'profile_resident_unavailable' });
      assert.deepEqual(seen.checkpointAfter, { error: 'profile_resident_unavailable' });
      assert.deepEqual(seen.endAgain, { value: true });
    });
  });

  it('with diagnostics "off" writes no checkpoint and passes the switch to its host', async () => {
    const before = residentLogLines(home).length;
    const { seen } = await runResident(home, `
out.init = attempt(() => addon.initialize());
out.finish = attempt(() => addon.finishStartup());
out.checkpoint = await settle(() => addon.residentCheckpoint('Bogus'));
out.host = await settle(() => addon.spawnResidentHost());
out.ready = await hostLine(out.host.value.id);
out.end = attempt(() => addon.endResident());
`, { env: { NUVRA_AUTH_LOG_LEVEL: 'off' } });
    assert.deepEqual(seen.checkpoint, { value: false });
    assert.equal(JSON.parse(seen.ready).diagnostics, 'off');
    assert.deepEqual(seen.end, { value: true });
    assert.equal(residentLogLines(home).length, before);
  });

  it('runs its account worker after the acknowledgement and inside its job list', async () => {
    // Before the acknowledgement the worker is refused without using up the
    // one preparation; after it the worker readies, is lent a work and given
    // back by endWork's revoke; endResident then ends the worker's job too.
    const { seen } = await runResident(home, `
out.init = attempt(() => addon.initialize());
out.early = await settle(() => addon.prepareAccountWorker());
out.finish = attempt(() => addon.finishStartup());
out.prepared = await settle(() => addon.prepareAccountWorker());
out.ready = await settle(() => addon.readyAccountWorker());
const work = await addon.beginWork();
out.adopt = await settle(() => addon.adoptAccountWorker(work));
out.endWork = await settle(() => addon.endWork(work));
out.end = attempt(() => addon.endResident());
out.workerGone = false;
for (let polls = 0; polls < 2000 && !out.workerGone; polls++) {
  try { process.kill(out.prepared.value.pid, 0); await sleep(1); } catch { out.workerGone = true; }
}
`);
    assert.deepEqual(seen.early, { error: 'profile_resident_handoff_required' });
    assert.deepEqual(seen.finish, { value: true });
    assert.ok(Number.isInteger(seen.prepared.value?.pid), JSON.stringify(seen.prepared));
    assert.deepEqual([seen.ready, seen.adopt, seen.endWork], [{ value: true }, { value: true }, { value: true }]);
    assert.deepEqual(seen.end, { value: true });
    assert.equal(seen.workerGone, true);
  });

  it('is ended with its host, both with exit code 74, when nothing is published in time', async () => {
    const watched = path.win32.join(home.scratch, 'host-exit.json');
    // The host's end is seen by a watcher outside the runtime and its jobs
    // (detached, so not in the job node keeps for its children);
    // the runtime then waits, doing nothing, until the ceiling ends it.
    const launch = await launchRuntime({ home, role: 'resident', source: script(`
out.init = attempt(() => addon.initialize());
out.finish = attempt(() => addon.finishStartup());
out.host = await settle(() => addon.spawnResidentHost());
const watcher = spawn(${JSON.stringify(brokerBuild.testbed)}, ['child', 'watch', String(out.host.value.pid), arg1],
  { stdio: ['ignore', 'pipe', 'ignore'], windowsHide: true, detached: true });
await new Promise((resolve) => watcher.stdout.on('data', resolve));
console.log(JSON.stringify(out));
setInterval(() => {}, 1000);
await new Promise(() => {});
`), args: [watched] });
    const seen = JSON.parse(launch.stdout.trim().split(/\r?\n/)[0]);
    assert.deepEqual(seen.finish, { value: true }, JSON.stringify(seen));
    assert.equal(launch.runtimeExitCode, 74, JSON.stringify(launch.result));
    await waitForFile(watched);
    assert.deepEqual(JSON.parse(fs.readFileSync(watched, 'utf8')), { exit_code: 74 });
  });

  describe('one reservation per user, session and home', () => {
    it('refuses a runtime while another holds the reservation, and starts nothing', async () => {
      const holder = holdReservation(home);
      await holder.held;
      let seen;
      try {
        ({ seen } = await runResident(home, `
out.init = attempt(() => addon.initialize());
out.status = attempt(() => addon.residentStatus());
out.host = await settle(() => addon.spawnResidentHost());
out.again = attempt(() => addon.initialize());
`));
      } finally {
        await holder.stop();
      }
      assert.deepEqual(seen.init, { error: 'broker_publication_recovery_required' });
      assert.deepEqual(seen.status, { error: 'profile_resident_unavailable' });
      assert.deepEqual(seen.host, { error: 'profile_resident_unavailable' });
      assert.deepEqual(seen.again, { error: 'profile_resident_duplicate' });
    });

    // What somebody else left under the reservation's name: a mutex anyone
    // may open, or another kind of object.
    for (const [kind, reason] of [['everyone', 'profile_security'], ['event', 'profile_resident_reservation']]) {
      it(`refuses a reservation name held by ${kind === 'event' ? 'an event' : 'a mutex Everyone may open'}`, async () => {
        const holder = holdReservation(home, kind);
        await holder.held;
        let seen;
        try {
          ({ seen } = await runResident(home, 'out.init = attempt(() => addon.initialize());'));
        } finally {
          await holder.stop();
        }
        assert.deepEqual(seen.init, { error: reason });
      });
    }

    it('accepts a second runtime once the first has ended its resident', async () => {
      const ended = path.win32.join(home.scratch, 'first-ended');
      const release = path.win32.join(home.scratch, 'release-first');
      // The first ends its resident, says so, and stays up until the second
      // has run.
      const first = launchRuntime({ home, role: 'resident', source: script(`
out.init = attempt(() => addon.initialize());
out.finish = attempt(() => addon.finishStartup());
out.end = attempt(() => addon.endResident());
fs.writeFileSync(arg1 + '.tmp', JSON.stringify(out));
fs.renameSync(arg1 + '.tmp', arg1);
await waitFor(arg2);
`), args: [ended, release] });
      let seen;
      try {
        await waitForFile(ended);
        assert.deepEqual(JSON.parse(fs.readFileSync(ended, 'utf8')).end, { value: true });
        ({ seen } = await runResident(home, `
out.init = attempt(() => addon.initialize());
out.end = attempt(() => addon.endResident());
`));
      } finally {
        fs.writeFileSync(release, '');
      }
      const firstLaunch = await first;
      assert.equal(firstLaunch.runtimeExitCode, 0, JSON.stringify(firstLaunch.result));
      assert.equal(seen.init.value?.home, home.home, JSON.stringify(seen));
      assert.deepEqual(seen.end, { value: true });
    });
  });

  it('in an entry runtime has no status, refuses the toolkit and poisons on endResident', async () => {
    const launch = await launchRuntime({ home, role: 'entry', source: script(`
out.init = attempt(() => addon.initialize());
out.finish = attempt(() => addon.finishStartup());
out.status = attempt(() => addon.residentStatus());
out.checkpoint = attempt(() => addon.residentCheckpoint('publish'));
out.host = attempt(() => addon.spawnResidentHost());
out.observe = attempt(() => addon.observeResident());
out.hostArgs = attempt(() => addon.spawnResidentHost(1));
out.end = attempt(() => addon.endResident());
out.afterPoison = attempt(() => addon.initialize());
`) });
    const seen = JSON.parse(launch.stdout.trim().split(/\r?\n/).pop());
    assert.deepEqual(seen.finish, { value: true }, JSON.stringify(seen));
    assert.deepEqual(seen.status, { value: null });
    assert.deepEqual(seen.checkpoint, { error: 'profile_resident_unavailable' });
    assert.deepEqual(seen.host, { error: 'profile_resident_unavailable' });
    assert.deepEqual(seen.observe, { error: 'profile_resident_unavailable' });
    assert.deepEqual(seen.hostArgs, { error: 'arguments_invalid' });
    assert.deepEqual(seen.end, { error: 'profile_resident_required' });
    assert.deepEqual(seen.afterPoison, { error: 'profile_poisoned' });
  });
});
