// The runtime side of the fault-injection suite: started by a home's launcher
// with one row of the suite in NUVRA_FAULT_ROW. It brings the runtime to the
// row's scenario, runs the scenario once unarmed where it can run twice (so
// that what a first run creates for good, the launch holder among it, is
// there before the sample) and an unarmed work, samples its handles by kind
// and its descendant processes, arms the row's site in its own environment,
// runs the armed step, disarms, lets the scenario clean up, samples again,
// asks another process whether the home's serialisation mutex is free, and
// tries a fresh work. Prints one JSON line.
import { createRequire } from 'node:module';
import { spawnSync } from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';
import { probeProcess } from './probe.mjs';

const row = JSON.parse(process.env.NUVRA_FAULT_ROW);
const { startResident } = await import(new URL('../../../product/resident.mjs', import.meta.url));
const require = createRequire(import.meta.url);
const addon = require(row.addon);
const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));
const reasonOf = async (fn) => { try { await fn(); return 'ok'; } catch (e) { return e.message; } };
const transient = (reason) => ['profile_startup_timeout', 'profile_child_create'].includes(reason);

function probe() {
  const p = probeProcess(row.probe, process.pid, { ...process.env, NUVRA_FAULT_INJECTION: '' }) ?? {};
  return { handles: p.handles ?? null, descendants: p.descendants ?? null, list: p.list?.split(' ') ?? [] };
}

// How many more handles of each kind ("Event", "Thread", ...) `after`
// holds than `before` (fewer when negative), kinds with no change left out,
// and handles the probe could not name (Wine's own, which come and go).
function change(before, after) {
  const count = (list, sign, into) => list.forEach((h) => {
    const k = h.split(':')[0];
    if (k !== '?') into[k] = (into[k] ?? 0) + sign;
  });
  const net = {};
  count(after, 1, net);
  count(before, -1, net);
  return Object.fromEntries(Object.entries(net).filter(([, n]) => n !== 0).sort());
}

// Another process tries to take the mutex: "held" when it is free, nothing
// within the holder's ten seconds when this process still owns it.
function mutexState(home) {
  const r = spawnSync(row.broker, ['hold-serialization', home, '1'], {
    env: { ...process.env, NUVRA_FAULT_INJECTION: '' }, encoding: 'utf8', windowsHide: true,
  });
  const said = (r.stdout ?? '').split(/\r?\n/).filter(Boolean);
  return said.includes('held') ? 'free' : said.includes('held abandoned') ? 'abandoned' : 'owned';
}

const gone = async (pid) => {
  for (;;) {
    try { process.kill(pid, 0); } catch { return; }
    await sleep(2);
  }
};

// Runs to its exit and disposes of it.
async function finish(id) {
  for (;;) {
    const p = addon.poll(id);
    if (p.exit_code !== undefined && p.stdout === false && p.stderr === false) break;
    await sleep(2);
  }
  await addon.dispose(id);
}

// Tried again when a loaded machine made a work run out, `times` at most.
async function retried(times, fn) {
  for (let attempt = 1; ; ++attempt) {
    try {
      return await fn();
    } catch (error) {
      if (!transient(error?.message) || attempt === times) throw error;
    }
  }
}
const end = (work) => reasonOf(() => addon.endWork(work));
const withWork = (fn) => retried(3, async () => {
  const work = await addon.beginWork();
  try { return await fn(work); } finally { await end(work); }
});

let profile = null;
const oldLog = () => path.win32.join(profile.home, 'logs', 'nuvra-20200101-0.jsonl');
const out = {};
const entry = () => { profile = addon.initialize(); addon.finishStartup(); };

// A work and a child of the broker launched under it; `exited` waits for its end.
async function withChild(args, exited) {
  const c = { work: await addon.beginWork() };
  c.child = await addon.spawnAsync(c.work, row.broker, args, {});
  if (exited) await gone(c.child.pid);
  return c;
}

// Each scenario: `start` (once, unarmed), `prepare` (unarmed, gives the
// armed step what it needs), `act` (armed), `cleanup` (unarmed), and whether
// it can run twice in one runtime.
const scenarios = {
  // A managed child launched under a work, run to its exit, disposed.
  spawn: {
    repeats: true, start: entry,
    prepare: async () => ({ work: await addon.beginWork() }),
    act: async (c) => { c.child = await addon.spawnAsync(c.work, row.broker, ['child', 'exit', '0'], {}); },
    cleanup: async (c) => { if (c.child) await finish(c.child.id); await end(c.work); },
  },
  // A poll of a child that has exited.
  poll: {
    repeats: true, start: entry,
    prepare: () => withChild(['child', 'exit', '0'], true),
    act: async (c) => { addon.poll(c.child.id); },
    cleanup: async (c) => { await finish(c.child.id); await end(c.work); },
  },
  // A write to a child's standard input.
  write: {
    repeats: true, start: entry,
    prepare: () => withChild(['child', 'echo'], false),
    act: async (c) => { addon.write(c.child.id, Buffer.from('fault\n')); },
    cleanup: async (c) => { addon.end(c.child.id); await finish(c.child.id); await end(c.work); },
  },
  // The release of a child that has exited.
  dispose: {
    repeats: true, start: entry,
    prepare: () => withChild(['child', 'exit', '0'], true),
    act: async (c) => { await addon.dispose(c.child.id); },
    cleanup: async (c) => { await end(c.work); },
  },
  // A work begun and ended: the serialisation mutex taken and released.
  work: {
    repeats: true, start: entry,
    prepare: async () => ({}),
    act: async () => { const w = await addon.beginWork(); await addon.endWork(w); },
    cleanup: async () => {},
  },
  // A diagnostic event opened and closed.
  event: {
    repeats: true, start: entry,
    prepare: async () => ({}),
    act: async (c) => { c.token = addon.newDiagnosticEvent(); },
    cleanup: async (c) => { if (c.token) addon.closeDiagnosticEvent(c.token); },
  },
  // The residency observation of a work.
  observe: {
    repeats: true, start: entry,
    prepare: async () => ({ work: await addon.beginWork() }),
    act: async (c) => {
      const target = profile.root + '\\connector\\vevadu-code\\client\\nuvra_windows_broker_native.exe';
      await addon.observeBroker(c.work, 'residency', target, profile.home, process.pid);
    },
    cleanup: async (c) => { await end(c.work); },
  },
  // A diagnostic event's record appended to the day's log, after a file
  // past retention was planted (`step` "delete") or the day's file was
  // filled to a lowered limit (`step` "rotate"). Both start from a file the
  // addon made, which alone passes the owner-only check.
  log: {
    repeats: true, start: entry,
    prepare: async () => {
      const token = addon.newDiagnosticEvent();
      await addon.appendIngressDiagnostic(token, 'framing', 'started', 'none');
      addon.closeDiagnosticEvent(token);
      const day = new Date().toISOString().slice(0, 10).replaceAll('-', '');
      const today = path.win32.join(profile.home, 'logs', `nuvra-${day}-0.jsonl`);
      if (row.step === 'delete') fs.renameSync(today, oldLog());
      if (row.step === 'rotate') {
        fs.writeFileSync(path.win32.join(profile.home, 'log-rotation-size'), '16384');
        fs.appendFileSync(today, `{"pad":"${'x'.repeat(16384)}"}\n`);
      }
      return { token: addon.newDiagnosticEvent() };
    },
    act: async (c) => { await addon.appendIngressDiagnostic(c.token, 'framing', 'started', 'none'); },
    cleanup: async (c) => {
      addon.closeDiagnosticEvent(c.token);
      fs.rmSync(oldLog(), { force: true });
      fs.rmSync(path.win32.join(profile.home, 'log-rotation-size'), { force: true });
    },
  },
  // A work that finds the mutex abandoned and writes the recovery record.
  recovery: {
    repeats: false, start: entry,
    prepare: async () => {
      spawnSync(row.broker, ['die-holding-serialization', profile.home], { windowsHide: true, env: { ...process.env, NUVRA_FAULT_INJECTION: '' } });
      return {};
    },
    act: async () => { const w = await addon.beginWork(); await addon.endWork(w); },
    cleanup: async () => {},
  },
  // A setup-mode account worker prepared and readied.
  account: {
    repeats: false, start: () => { profile = addon.initialize(); },
    prepare: async () => ({}),
    act: async (c) => { c.worker = await addon.prepareAccountWorker(); await addon.readyAccountWorker(); },
    cleanup: async (c) => { if (c.worker) await gone(c.worker.pid); try { addon.finishStartup(); } catch { /* poisoned */ } },
  },
  // A work lent to the readied worker (`step` "adopt"), given back
  // ("release") or ended while lent ("end").
  lend: {
    repeats: false,
    start: async () => {
      profile = addon.initialize();
      // A row whose failure tears the worker down is sampled before there
      // is one.
      if (row.teardown) out.before = probe();
      await addon.prepareAccountWorker();
      await addon.readyAccountWorker();
      addon.finishStartup();
    },
    prepare: async () => {
      const c = { work: await addon.beginWork() };
      if (row.step !== 'adopt') await addon.adoptAccountWorker(c.work);
      return c;
    },
    act: async (c) => {
      if (row.step === 'adopt') await addon.adoptAccountWorker(c.work);
      else if (row.step === 'end') await addon.endWork(c.work);
      else await addon.releaseAccountWorker(c.work);
    },
    cleanup: async (c) => { await end(c.work); },
  },
  // A resident runtime's reservation, taken by initialize.
  reserve: {
    repeats: false, start: () => {},
    prepare: async () => ({}),
    act: async () => { profile = addon.initialize(); },
    cleanup: async () => { if (profile) addon.endResident(); },
  },
  // A resident's residency observation.
  residency: {
    repeats: false, start: () => { profile = addon.initialize(); addon.finishStartup(); },
    prepare: async () => ({}),
    act: async () => { await addon.observeResident(); },
    cleanup: async () => { addon.endResident(); },
  },
  // A resident's broker host launched and ended with the resident.
  host: {
    // A managed child first: the launch holder a process's first launch
    // creates for good is there before the sample.
    repeats: false,
    start: async () => {
      profile = addon.initialize();
      addon.finishStartup();
      await withWork(async (work) => finish((await addon.spawnAsync(work, row.broker, ['child', 'exit', '0'], {})).id));
    },
    prepare: async () => ({}),
    act: async (c) => { c.host = await addon.spawnResidentHost(); },
    cleanup: async (c) => { addon.endResident(); if (c.host) await gone(c.host.pid); },
  },
  // A resident's whole startup through the product's own steps, sampled
  // right before its publication: the host, the worker and the observation
  // are up then. A failed start leaves its host to the resident's end, and
  // its temporary file to the next start's recovery: no handle may keep it
  // (it is opened without sharing delete).
  publish: {
    repeats: false, start: () => {},
    prepare: async () => ({}),
    act: async () => {
      await startResident(addon, { step: (name) => { if (name === 'publish') out.before = probe(); } });
    },
    cleanup: async () => {
      addon.endResident();
      const broker = path.win32.join(row.home, 'state', 'broker');
      for (const name of fs.readdirSync(broker).filter((n) => /^endpoint\..*\.tmp$/.test(n))) {
        out.opened = await reasonOf(() => fs.promises.unlink(path.win32.join(broker, name)));
        if (out.opened === 'ok') out.opened = 'deleted';
      }
    },
  },
  // A resident's end: its reservation thread let go and waited for.
  end: {
    repeats: false, start: () => { profile = addon.initialize(); addon.finishStartup(); },
    prepare: async () => ({}),
    act: async () => { addon.endResident(); },
    cleanup: async () => {},
  },
};

try {
  const scenario = scenarios[row.scenario];
  await scenario.start();
  // A row whose site only a process's first launch reaches runs cold.
  if (scenario.repeats && !row.cold) {
    const c = await retried(5, scenario.prepare);
    out.warm = await reasonOf(() => scenario.act(c));
    await scenario.cleanup(c);
  }
  // The first thread-local access of a thread gives it the C runtime's
  // record of the thread (a duplicate of its handle and an event) for the
  // thread's life; the runtime's one pool thread (UV_THREADPOOL_SIZE=1)
  // makes it in a job of an unarmed work first, where the scenario allows one.
  await reasonOf(() => withWork(async () => {}));
  out.before ??= probe();
  for (let attempt = 1; ; ++attempt) {
    const c = await retried(5, scenario.prepare);
    // "handoff": the duplicate after the guards of the startup result (the
    // work marker among them), the mutex and the parent, which a managed
    // child's handoff names.
    const n = row.n === 'handoff' ? profile.guards.length + 3 : row.n ?? 1;
    process.env.NUVRA_FAULT_INJECTION = `${row.site}:${n}:${row.error ?? 8}`;
    out.reason = await reasonOf(() => scenario.act(c));
    delete process.env.NUVRA_FAULT_INJECTION;
    await scenario.cleanup(c);
    if (!transient(out.reason) || !scenario.repeats || row.cold || attempt === 5) break;
  }
  // Handles of each kind beyond the sample before. Pool threads the system
  // starts for a while end on their own: the count is read until nothing is
  // beyond (and the probe reported), at most 10 times, 500 ms apart. A handle
  // the failure left open stays.
  for (let look = 1; ; ++look) {
    out.after = probe();
    out.change = change(out.before.list, out.after.list);
    const settled = out.after.handles !== null && !Object.values(out.change).some((n) => n > 0) &&
      out.after.descendants <= out.before.descendants;
    if (settled || look === 10) break;
    await sleep(500);
  }
  out.mutex = mutexState(row.home);
  out.next = await reasonOf(() => withWork(async () => {}));
} catch (e) {
  out.crashed = e.stack;
}
console.log(JSON.stringify(out));
