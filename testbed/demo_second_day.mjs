// The demo's second day in the same home: the first resident has ended; a
// new one is started on demand (product/ensure_resident.mjs) and recalls
// what the first day saved; then a resident is killed inside a write, owning
// the home's serialisation mutex, so that the next holder marks the home
// "RECOVERY_REQUIRED"; the next start has the servicing side repair it, a
// resident starts again and every saved memory is recalled. What each
// recovery did is printed.
import fs from 'node:fs';
import path from 'node:path';
import { randomUUID } from 'node:crypto';
import { fileURLToPath, pathToFileURL } from 'node:url';

const productUrl = (name) => pathToFileURL(fileURLToPath(new URL(`../product/${name}`, import.meta.url))).href;
const { ensureResident, endpointFile } = await import(productUrl('ensure_resident.mjs'));
const { installerPath, launchRuntime, run } = await import('../tests/js/lib/home.mjs');
const pause = (ms) => new Promise((resolve) => { setTimeout(resolve, ms); });

// Requests from one entry runtime: [{ operation, body }] in, each with
// `answer` or `error` out. With `started`, the runtime leaves that file once
// it is about to send.
async function requests(home, addonPath, list, started = '') {
  const launch = await launchRuntime({ home, args: [addonPath, Buffer.from(JSON.stringify(list)).toString('base64'), started], source: `
    import fs from 'node:fs';
    import { createRequire } from 'node:module';
    import { randomUUID } from 'node:crypto';
    import { brokerRequest } from ${JSON.stringify(productUrl('client.mjs'))};
    const addon = createRequire(import.meta.url)(process.argv[2]);
    addon.initialize();
    addon.finishStartup();
    if (process.argv[4]) fs.writeFileSync(process.argv[4], '');
    const out = [];
    for (const request of JSON.parse(Buffer.from(process.argv[3], 'base64').toString())) {
      try {
        const answer = await brokerRequest(addon, { operation: request.operation, body: JSON.stringify(request.body), requestId: randomUUID() });
        out.push({ ...request, answer: JSON.parse(answer.toString()) });
      } catch (e) { out.push({ ...request, error: e.message }); }
    }
    console.log(JSON.stringify(out));` });
  const line = launch.stdout.trim().split(/\r?\n/).pop();
  return line ? JSON.parse(line) : list.map((request) => ({ ...request, error: `no output (${launch.outcome})` }));
}

async function checkLines(home) {
  const { stdout } = await run(home.brokerImage, ['check', '--home', home.home]);
  return stdout.trim().split(/\r?\n/).slice(1);
}

const servicingState = (home) => JSON.parse(fs.readFileSync(
  path.win32.join(home.home, 'state', 'runtime', 'servicing.json'), 'utf8')).state;

// What the resident's own recovery of the broker folder did, as it printed
// it before publishing: {"resident":"recovery","removed":[...],"kept":[...]}.
function recoveryOf(resident) {
  const lines = fs.readFileSync(resident.files.stdout, 'utf8').split('\n').filter((line) => line.startsWith('{'));
  return lines.map((line) => JSON.parse(line)).filter((line) => line.resident === 'recovery');
}

async function start(home, addonPath, what) {
  console.log(`  before the start, check --home says: ${(await checkLines(home)).join('; ') || 'nothing'}`);
  const began = performance.now();
  let started;
  try {
    started = await ensureResident({ home: home.home, addonPath, installer: installerPath(), scratch: home.scratch });
  } catch (error) {
    console.log(`  ${what}: refused, ${error.message} (${(error.detail?.steps ?? []).join(' -> ')})`);
    return null;
  }
  console.log(`  ${what}: ${started.steps.join(' -> ')} (${Math.round(performance.now() - began)} ms)`);
  const recovered = started.resident ? recoveryOf(started.resident) : [];
  for (const { removed, kept } of recovered) {
    for (const file of removed) console.log(`    the resident's recovery removed ${file}: proven stale`);
    for (const { kept: file, why } of kept) console.log(`    the resident's recovery kept ${file} (${why})`);
  }
  if (!recovered.length) console.log('    the resident\'s recovery found nothing to remove');
  return started.resident;
}

export async function secondDay({ home, addonPath, check, firstDay }) {
  console.log('\nThe second day in the same home:');
  console.log(`  the first resident ended cleanly; its record ${fs.existsSync(endpointFile(home.home)) ? 'is still there' : 'is gone'}`);
  let resident = await start(home, addonPath, 'a resident started on demand');
  check(resident !== null, 'a second resident started in the same home');
  if (!resident) return;
  const recalled = await requests(home, addonPath, [{ operation: 'recall', body: { word: 'kettle' } }]);
  const texts = recalled[0].answer?.memories?.map((m) => m.text) ?? [];
  console.log(`  recall "kettle" -> ${texts.map((t) => `"${t}"`).join(', ') || recalled[0].error}`);
  check(firstDay.every((text) => texts.includes(text)), 'the second resident recalls what the first day saved');

  // Killed inside a write: while a stream of captures runs, the test bed
  // holds the resident inside its next log write (the home's "mutex-stall"
  // names it; the release build never reads the file), and it is killed
  // there, owning the home's serialisation mutex.
  const saved = firstDay.map((text) => ({ text, word: 'kettle' }));
  const stall = path.win32.join(home.home, 'mutex-stall');
  const stalled = path.win32.join(home.home, 'mutex-stalled');
  const started = path.win32.join(home.scratch, `stream-${randomUUID()}`);
  const stream = requests(home, addonPath, Array.from({ length: 8 }, (_, i) =>
    ({ operation: 'capture', body: { text: `day two note ${i} of the stream` } })), started);
  let streamEnded = false;
  stream.finally(() => { streamEnded = true; });
  while (!fs.existsSync(started) && !streamEnded) await pause(20);
  fs.writeFileSync(stall, String(resident.pid));
  while (!fs.existsSync(stalled) && !streamEnded) await pause(5);
  const insideMutex = fs.existsSync(stalled);
  process.kill(resident.pid);
  const answers = await stream;
  const ended = await resident.exited;
  fs.rmSync(stall, { force: true });
  fs.rmSync(stalled, { force: true });
  const ok = answers.filter((a) => a.answer?.ok);
  saved.push(...ok.map((a) => ({ text: a.body.text, word: 'stream' })));
  console.log(`  the resident (pid ${resident.pid}) killed inside a log write, after ${ok.length} of 8 captures were saved` +
    ` (the others: ${[...new Set(answers.filter((a) => !a.answer?.ok).map((a) => a.error ?? a.answer?.error_code))].join(', ') || 'none'});` +
    ` runtime exit code ${ended.runtimeExitCode}; the servicing record now says ${servicingState(home)}`);
  check(insideMutex, 'the resident was killed owning the home\'s serialisation mutex');
  resident = await start(home, addonPath, 'restart (repairing the home first)');
  check(servicingState(home) === 'COMMITTED' && resident !== null, 'the home was repaired and a resident serves again');
  if (!resident) return;
  const words = [...new Set(saved.map((s) => s.word))];
  const after = await requests(home, addonPath, words.map((word) => ({ operation: 'recall', body: { word } })));
  const found = after.flatMap((a) => a.answer?.memories?.map((m) => m.text) ?? []);
  console.log(`  recall ${words.map((w) => `"${w}"`).join(', ')} after the repair -> ${found.length} memories,` +
    ` ${saved.length} of them saved with a terminal record ok true`);
  const missing = saved.filter((s) => !found.includes(s.text)).map((s) => s.text);
  check(missing.length === 0, `every saved memory is recalled after the repair (missing: ${missing.join(', ')})`);
  const end = await resident.end();
  console.log(`  the last resident ended with exit code ${end.runtimeExitCode}; its record ${fs.existsSync(endpointFile(home.home)) ? 'is still there' : 'is gone'}`);
}
