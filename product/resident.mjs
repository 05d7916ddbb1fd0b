// The product's resident runtime. The native broker executable's launcher
// starts it in the role "resident":
//
//   nuvra_windows_broker_native.exe launch --role resident ... -- resident.mjs [ADDON]
//
// (ADDON: the addon's path; default nuvra_profile_startup.node beside this
// file). Inside the broker startup ceiling, 3,000 ms from its first native
// call, it runs the whole resident startup, each step recorded with
// residentCheckpoint:
//
//   initialize, finishStartup     the launcher's acknowledgement
//   host_prepare, host_ready      spawnResidentHost, the host's ready line
//   worker_prepare, worker_ready  prepareAccountWorker, readyAccountWorker
//   account_validate              a validation work begun and adopted
//   account_ready                 the worker holds it
//   account_end                   the work ended: its revoke validates
//   (observation)                 observeResident, sent to the host, which
//                                 answers with its endpoint record
//   publish                       publishResident with that record
//
// The host, the worker and the observation are started together, so their
// process starts overlap. Once published it prints one line
//   {"resident":"published","startup_ms":N,"record":TEXT}
// (startup_ms: from the first native call to the publication) and serves:
// if ./serve.mjs exists, its serve(addon, host, { signal }) runs with the
// host link (host_link.mjs) until the signal aborts; else it just waits.
//
// Before it publishes, while it holds its resident reservation, its
// runtime's broker executable recovers the broker folder of the home
// (recover-endpoint): what an earlier resident left there and what is proven
// stale is removed, each removal appended to the diagnostic log as the
// recovery worded it once the resident is published, and one line
//   {"resident":"recovery","exit_code":N,"removed":[FILE...],"kept":[{"kept":FILE,"why":W}...]}
// says what it did when it did or kept anything.
//
// It ends when told to: a line "end" on its standard input, or the end of
// that input (so a runtime started with no input ends right after it has
// published). It then ends its host, and once the host has exited its own
// record is removed the same way, so that a clean end leaves nothing to
// recover; then endResident ends the worker with the jobs, it prints
// {"resident":"ended"} and exits with 0. A startup that fails prints
// {"resident":"failed","step":STEP,"error":MESSAGE}, ends the resident and
// exits with 1. A host that exits while the resident serves ends the
// resident too ({"resident":"failed","step":"host",...}), with exit code 3,
// so that the next start can take over; its record stays for that start to
// recover.
import { spawn } from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';
import { createRequire } from 'node:module';
import { fileURLToPath, pathToFileURL } from 'node:url';
import { HostLink } from './host_link.mjs';

// The promise is awaited later; meanwhile its rejection is not unhandled.
function started(promise) {
  promise.catch(() => {});
  return promise;
}

// The exit code of a resident whose host exited under it.
export const HOST_EXITED_EXIT_CODE = 3;

const BROKER_IN_ROOT = ['connector', 'vevadu-code', 'client', 'nuvra_windows_broker_native.exe'];

function runRecovery(broker, home) {
  return new Promise((resolve, reject) => {
    const child = spawn(broker, ['recover-endpoint', '--home', home],
      { stdio: ['ignore', 'pipe', 'pipe'], windowsHide: true });
    let stdout = '';
    let stderr = '';
    child.stdout.setEncoding('utf8').on('data', (d) => { stdout += d; });
    child.stderr.setEncoding('utf8').on('data', (d) => { stderr += d; });
    child.on('error', reject);
    child.on('close', (code) => resolve({ code, stdout, stderr }));
  });
}

// Runs the runtime's own broker executable in role "recover-endpoint" for the
// home `startup` (what initialize returned) names; call it only while this
// runtime holds its resident reservation. Resolves with
// { exitCode, removed: [diagnostic line...], kept: [{kept, why}...], error }.
export async function recoverEndpoint(startup) {
  const broker = path.win32.join(startup.root, ...BROKER_IN_ROOT);
  let ran;
  for (let attempt = 1; ; attempt += 1) {
    try {
      ran = await runRecovery(broker, startup.home);
      break;
    } catch (error) {
      // A process the system could not create this time is tried again; one
      // that ran is not.
      if (attempt === 3) return { exitCode: null, removed: [], kept: [], error: error.message };
      await new Promise((resolve) => setTimeout(resolve, 50 * attempt));
    }
  }
  const removed = [];
  const kept = [];
  for (const line of ran.stdout.split(/\r?\n/)) {
    if (!line) continue;
    try {
      const message = JSON.parse(line);
      if (message.stage === 'stale_endpoint_removed') removed.push(`${line}\n`);
      else if (message.kept !== undefined) kept.push(message);
    } catch {
      // not a line of the recovery's
    }
  }
  return { exitCode: ran.code, removed, kept, error: ran.stderr.trim() || undefined };
}

// What the recovery did, as one output line; null when it did nothing.
function recoveryLine(recovery) {
  if (recovery.exitCode === 0 && !recovery.removed.length && !recovery.kept.length) return null;
  return JSON.stringify({ resident: 'recovery', exit_code: recovery.exitCode,
    removed: recovery.removed.map((line) => JSON.parse(line).file), kept: recovery.kept,
    ...(recovery.error ? { error: recovery.error } : {}) });
}

// The removals' diagnostic lines, written by a work of their own. Written
// once the resident is published: the startup ceiling has no room for them.
async function logRemovals(addon, recovery) {
  if (!recovery.removed.length) return;
  const work = await addon.beginWork();
  try {
    await addon.appendDiagnostic(work, recovery.removed.join(''));
  } finally {
    await addon.endWork(work);
  }
}

// The resident startup up to and including publication. `step(name)` is told
// of each step before it runs, so that a failure can name it. Resolves with
// the host link, the published record and the startup time.
export async function startResident(addon, { step = () => {}, recovered: told = () => {} } = {}) {
  const checkpoints = [];
  const checkpoint = (stage) => {
    // false: diagnostics are off. A write still queued when publication
    // starts would find the resident published and fail; each is awaited
    // before publishing.
    const written = addon.residentCheckpoint(stage);
    if (written !== false) checkpoints.push(started(written));
  };

  step('initialize');
  const firstNativeCall = performance.now();
  const startup = addon.initialize();
  step('finishStartup');
  addon.finishStartup();
  // The reservation is held from here on: nothing of another resident of this
  // key can be publishing.
  const recovered = started(recoverEndpoint(startup));

  // The host, the worker and the observation start together.
  step('host_prepare');
  checkpoint('host_prepare');
  const hostStarted = started(addon.spawnResidentHost());
  step('worker_prepare');
  checkpoint('worker_prepare');
  const workerStarted = started(addon.prepareAccountWorker());
  const observed = started(addon.observeResident());

  step('host_ready');
  const host = new HostLink(addon, await hostStarted);
  try {
    await host.receive('ready');
    checkpoint('host_ready');
    step('observation');
    host.send({ type: 'residency', observation: await observed });
    const endpoint = started(Promise.race([host.receive('endpoint'),
      host.receive('endpoint_refused').then((refused) => {
        throw new Error(refused.reason);
      })]));

    step('worker_ready');
    await workerStarted;
    await addon.readyAccountWorker();
    checkpoint('worker_ready');

    step('account_validate');
    checkpoint('account_validate');
    const work = await addon.beginWork();
    await addon.adoptAccountWorker(work);
    checkpoint('account_ready');
    step('account_end');
    await addon.endWork(work);
    checkpoint('account_end');

    step('recovery');
    const recovery = await recovered;
    told(recovery);
    step('endpoint');
    const { record } = await endpoint;
    step('publish');
    await Promise.all(checkpoints);
    const publishing = addon.residentCheckpoint('publish');
    if (publishing !== false) await publishing;
    await addon.publishResident(record);
    return { host, record, startupMs: Math.round(performance.now() - firstNativeCall), startup,
      recovery };
  } catch (error) {
    host.close();
    throw error;
  }
}

// Aborts on a line "end" on standard input or at the end of that input.
export function endSignal(input = process.stdin) {
  const controller = new AbortController();
  let text = '';
  const end = () => controller.abort();
  input.setEncoding('utf8');
  input.on('data', (chunk) => {
    text += chunk;
    if (/^end\r?$/m.test(text)) end();
    text = text.slice(text.lastIndexOf('\n') + 1);
  });
  input.on('end', end);
  input.on('error', end);
  return controller.signal;
}

// Serves the published endpoint until `signal` aborts: with ./serve.mjs when
// it exists, else by waiting.
async function serveUntil(addon, host, signal) {
  const serveFile = fileURLToPath(new URL('./serve.mjs', import.meta.url));
  if (fs.existsSync(serveFile)) {
    const { serve } = await import(pathToFileURL(serveFile).href);
    await serve(addon, host, { signal });
    return;
  }
  if (signal.aborted) return;
  await new Promise((resolve) => signal.addEventListener('abort', resolve, { once: true }));
}

// After a clean end of serving: the host is ended and, once it has exited,
// the record that names it is removed the same way as an earlier resident's.
async function removeOwnRecord(addon, host, startup) {
  try {
    addon.kill(host.id);
  } catch {
    // exited already
  }
  await host.exited;
  const recovery = await recoverEndpoint(startup);
  const line = recoveryLine(recovery);
  if (line) console.log(line);
  await logRemovals(addon, recovery);
}

async function main() {
  const addonPath = process.argv[2] ??
    fileURLToPath(new URL('./nuvra_profile_startup.node', import.meta.url));
  const addon = createRequire(import.meta.url)(addonPath);
  const signal = endSignal();
  let current = 'load';
  let host;
  let hostExited = false;
  try {
    const published = await startResident(addon, {
      step: (name) => { current = name; },
      recovered: (recovery) => {
        const line = recoveryLine(recovery);
        if (line) console.log(line);
      },
    });
    host = published.host;
    console.log(JSON.stringify({ resident: 'published', startup_ms: published.startupMs,
      record: published.record }));
    current = 'recovery_log';
    await logRemovals(addon, published.recovery);
    current = 'serve';
    // The host's exit, which the link's poll reports, ends serving too.
    const hostGone = new AbortController();
    host.exited.then(() => { hostExited = !signal.aborted; hostGone.abort(); });
    await serveUntil(addon, host, AbortSignal.any([signal, hostGone.signal]));
    if (hostExited) {
      current = 'host';
      throw new Error(`host_exited: ${host.exitCode} ${host.stderr.trim()}`.trim());
    }
    current = 'end';
    await removeOwnRecord(addon, host, published.startup);
  } catch (error) {
    console.log(JSON.stringify({ resident: 'failed', step: current, error: error.message }));
    process.exitCode = hostExited ? HOST_EXITED_EXIT_CODE : 1;
  }
  host?.close();
  try {
    addon.endResident();
    if (!process.exitCode) console.log(JSON.stringify({ resident: 'ended' }));
  } catch (error) {
    console.log(JSON.stringify({ resident: 'failed', step: 'endResident', error: error.message }));
    process.exitCode ||= 1;
  }
  process.exit();
}

if (process.argv[1] && pathToFileURL(process.argv[1]).href === import.meta.url) await main();
