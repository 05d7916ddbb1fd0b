// What every benchmark runtime does first: load the addon, take its startup
// custody and acknowledge, then measure. The driver passes its settings as
// JSON in NUVRA_BENCH and reads the report from the file named there.
import { createRequire } from 'node:module';
import { writeFileSync } from 'node:fs';
import { probeProcess } from '../../tests/js/lib/probe.mjs';

export const config = JSON.parse(process.env.NUVRA_BENCH ?? '{}');

export function startRuntime() {
  const require = createRequire(import.meta.url);
  const t0 = performance.now();
  const addon = require(config.addon);
  const t1 = performance.now();
  addon.initialize();
  const t2 = performance.now();
  addon.finishStartup();
  const t3 = performance.now();
  return { addon, startup: { loadMs: t1 - t0, initializeMs: t2 - t1, finishMs: t3 - t2 } };
}

export function report(value) {
  writeFileSync(config.out, JSON.stringify(value));
}

// Runs `main`, reporting what it returns, or the failure.
export async function measure(main) {
  try {
    report(await main());
  } catch (error) {
    report({ error: String(error?.stack ?? error) });
  }
}

export const yieldTurn = () => new Promise((resolve) => setImmediate(resolve));

// Handle count and working set of this process as the native probe sees them
// (null fields when no probe is configured or it fails).
export function probeSelf() {
  if (!config.probe) return { handles: null, workingSet: null, peakWorkingSet: null };
  const p = probeProcess(config.probe, process.pid);
  if (!p) return { handles: null, workingSet: null, peakWorkingSet: null };
  return { handles: p.handles, workingSet: p.working_set, peakWorkingSet: p.peak_working_set };
}

// Begins a work, runs fn with its id and ends it, whatever fn did.
export async function withWork(addon, fn) {
  const id = await addon.beginWork();
  try {
    return await fn(id);
  } finally {
    await addon.endWork(id);
  }
}

// Launches a managed child under a fresh work of its own. A warm work lasts
// one second, and on a loaded Wine host a work can spend it waiting for the
// home's serialisation mutex or in process creation; such an attempt is
// tried again (twice at most). Resolves with the child, the time the
// successful spawnAsync was called and how long it took.
const retried = new Set(['profile_startup_timeout', 'profile_owner_wait']);
export async function spawnChild(addon, program, args, env = {}) {
  for (let attempt = 1; ; ++attempt) {
    let work = null;
    try {
      work = await addon.beginWork();
      const t0 = performance.now();
      const child = await addon.spawnAsync(work, program, args, env);
      return { ...child, t0, ms: performance.now() - t0 };
    } catch (error) {
      if (!retried.has(error?.message) || attempt === 3) throw error;
    } finally {
      if (work !== null) await addon.endWork(work).catch(() => {});
    }
  }
}
