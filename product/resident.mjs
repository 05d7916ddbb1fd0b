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
// It ends when told to: a line "end" on its standard input, or the end of
// that input (so a runtime started with no input ends right after it has
// published). It then calls endResident, which ends the host and the worker
// with their jobs, prints {"resident":"ended"} and exits with 0. A startup
// that fails prints {"resident":"failed","step":STEP,"error":MESSAGE}, ends
// the resident and exits with 1.
import fs from 'node:fs';
import { createRequire } from 'node:module';
import { fileURLToPath, pathToFileURL } from 'node:url';
import { HostLink } from './host_link.mjs';

// The promise is awaited later; meanwhile its rejection is not unhandled.
function started(promise) {
  promise.catch(() => {});
  return promise;
}

// The resident startup up to and including publication. `step(name)` is told
// of each step before it runs, so that a failure can name it. Resolves with
// the host link, the published record and the startup time.
export async function startResident(addon, { step = () => {} } = {}) {
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
  addon.initialize();
  step('finishStartup');
  addon.finishStartup();

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

    step('endpoint');
    const { record } = await endpoint;
    step('publish');
    await Promise.all(checkpoints);
    const publishing = addon.residentCheckpoint('publish');
    if (publishing !== false) await publishing;
    await addon.publishResident(record);
    return { host, record, startupMs: Math.round(performance.now() - firstNativeCall) };
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

async function main() {
  const addonPath = process.argv[2] ??
    fileURLToPath(new URL('./nuvra_profile_startup.node', import.meta.url));
  const addon = createRequire(import.meta.url)(addonPath);
  const signal = endSignal();
  let current = 'load';
  let host;
  try {
    const published = await startResident(addon, { step: (name) => { current = name; } });
    host = published.host;
    console.log(JSON.stringify({ resident: 'published', startup_ms: published.startupMs,
      record: published.record }));
    current = 'serve';
    await serveUntil(addon, host, signal);
  } catch (error) {
    console.log(JSON.stringify({ resident: 'failed', step: current, error: error.message }));
    process.exitCode = 1;
  }
  host?.close();
  try {
    addon.endResident();
    if (process.exitCode !== 1) console.log(JSON.stringify({ resident: 'ended' }));
  } catch (error) {
    console.log(JSON.stringify({ resident: 'failed', step: 'endResident', error: error.message }));
    process.exitCode = 1;
  }
  process.exit();
}

if (process.argv[1] && pathToFileURL(process.argv[1]).href === import.meta.url) await main();
