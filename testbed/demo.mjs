// What the addon is and does, shown on the real build in the Windows node.exe:
// the addon itself, then a product home laid out by the installer and one
// entry runtime started from it by the broker executable's launcher role,
// which starts up, opens a work and runs the broker as a managed child; a job
// startup for the account purpose "connect" with its account worker; then the
// product's flow: its resident runtime publishes its broker's endpoint within
// the broker startup ceiling, an entry runtime captures and recalls memories
// through it, and the timeline both left behind is shown. Exits 1 when a
// step did not do what it should.
import { createRequire } from 'node:module';
import fs from 'node:fs';
import path from 'node:path';
import { randomBytes } from 'node:crypto';
import { fileURLToPath, pathToFileURL } from 'node:url';
import { declaredNodeApiVersion, readExports } from './lib/pe.mjs';

const addonPath = process.env.NUVRA_ADDON;
const addon = createRequire(import.meta.url)(addonPath);

// Each step the demo shows is checked; any that failed is named at the end
// and makes the exit code 1.
const failures = [];
const check = (ok, what) => { if (!ok) failures.push(what); };

console.log(`addon:            ${addonPath}`);
console.log(`runtime:          node ${process.version} (${process.platform}, Node-API ${process.versions.napi})`);
console.log(`built for:        Node-API ${declaredNodeApiVersion(addonPath)}`);
console.log(`exports:          ${[...readExports(addonPath).keys()].join(', ')}`);
console.log(`functions (${Reflect.ownKeys(addon).length}):`);
for (const name of Reflect.ownKeys(addon)) console.log(`  ${name}`);

// The harness reads the broker of the testbed build from this variable.
process.env.NUVRA_BROKER_TESTBED ??= process.env.NUVRA_BROKER;
const { installHome, launchRuntime, removeHome } = await import('../tests/js/lib/home.mjs');

console.log('\nA product home, as the installer lays it out:');
const home = await installHome();
try {
  const walk = (dir, depth = 0) => {
    for (const entry of fs.readdirSync(dir, { withFileTypes: true })) {
      const full = path.win32.join(dir, entry.name);
      const size = entry.isDirectory() ? '' : ` (${fs.statSync(full).size} bytes)`;
      console.log(`  ${'  '.repeat(depth)}${entry.name}${entry.isDirectory() ? '\\' : ''}${size}`);
      if (entry.isDirectory()) walk(full, depth + 1);
    }
  };
  console.log(`  ${home.home}\\`);
  walk(home.home, 1);
  console.log('\n  state\\runtime\\servicing.json:');
  console.log(`    ${fs.readFileSync(path.win32.join(home.home, 'state', 'runtime', 'servicing.json'), 'utf8').trim()}`);

  // The runtime loads the addon and starts up through it; what it prints is
  // exactly what it saw and what the addon answered.
  const source = `
    import { createRequire } from 'node:module';
    const addon = createRequire(import.meta.url)(process.argv[2]);
    const seen = { NUVRA_PROFILE_HANDOFF: process.env.NUVRA_PROFILE_HANDOFF,
      image: process.execPath, parent_pid: process.ppid };
    try { seen.initialize = addon.initialize(); } catch (e) { seen.initialize_error = e.message; }
    if (seen.initialize) {
      try { seen.finishStartup = addon.finishStartup(); } catch (e) { seen.finishStartup_error = e.message; }
    }
    // A work, and on its behalf the home's broker executable as a managed
    // child that echoes what it is given. A warm work lasts one second, so a
    // launch slowed past it is tried again.
    if (seen.finishStartup) {
      const child = seen.managed_child = {};
      try {
        let spawned;
        for (let attempt = 1; !spawned; attempt++) {
          const work = await addon.beginWork();
          child.work = work;
          try {
            spawned = await addon.spawnAsync(work, process.argv[3], ['child', 'echo'], {});
          } catch (e) {
            if (e.message !== 'profile_startup_timeout' || attempt === 3) throw e;
          } finally {
            await addon.endWork(work);
          }
        }
        Object.assign(child, spawned);
        child.write = addon.write(spawned.id, Buffer.from('hello from the runtime\\n'));
        child.end = addon.end(spawned.id);
        let stdout = '';
        for (;;) {
          const p = addon.poll(spawned.id);
          if (p.stdout) stdout += p.stdout.toString('utf8');
          if (p.stdout === false && 'exit_code' in p) { child.exit_code = p.exit_code; break; }
          await new Promise((r) => setTimeout(r, 5));
        }
        child.stdout = stdout;
        child.disposed = await addon.dispose(spawned.id);
      } catch (e) { child.error = e.message; }
    }
    console.log(JSON.stringify(seen, null, 2));`;
  console.log('\nAn entry runtime started by the launcher role of the home\'s broker executable:');
  // A traced attempt: the launcher creates the trace directory, the addon
  // appends its checkpoints to the runtime's own file in it.
  const attempt = randomBytes(16).toString('hex');
  const traceDirectory = 'C:\\Tevra\\ona\\temp\\st24data\\trace';
  fs.mkdirSync(traceDirectory, { recursive: true });
  const launch = await launchRuntime({ home, source, args: [addonPath, home.brokerImage],
    env: { NUVRA_STARTUP_ATTEMPT: attempt } });
  console.log(`  launcher exit code ${launch.exitCode}: ${launch.outcome}` +
    (launch.reason ? ` (${launch.reason})` : '') + `, runtime exit code ${launch.runtimeExitCode}`);
  check(launch.outcome === 'acknowledged' && launch.runtimeExitCode === 0, 'the entry runtime started and ended');
  console.log('  handoff:');
  for (const line of JSON.stringify(launch.handoff, null, 2).split('\n')) console.log(`    ${line}`);
  console.log('  the runtime saw:');
  for (const line of (launch.stdout.trim() || '(nothing)').split(/\r?\n/)) console.log(`    ${line}`);
  const traceFile = path.win32.join(traceDirectory, `${attempt}-${launch.runtimePid}-native.jsonl`);
  console.log(`  timing trace ${traceFile}:`);
  const trace = fs.existsSync(traceFile) ? fs.readFileSync(traceFile, 'utf8').trim() : '';
  for (const line of (trace || '(none)').split(/\r?\n/)) console.log(`    ${line}`);
  if (launch.stderr.trim()) console.log(`  runtime errors:\n    ${launch.stderr.trim().split(/\r?\n/).join('\n    ')}`);

  // A job startup for the account purpose "connect": before it may
  // acknowledge, the runtime starts its account worker (the home's broker
  // executable in role account-worker) and waits for its ready frame; then a
  // work is lent to the worker and taken back, once by releaseAccountWorker
  // and once by endWork's revoke.
  const connectSource = `
    import { createRequire } from 'node:module';
    const addon = createRequire(import.meta.url)(process.argv[2]);
    const seen = {};
    const step = async (name, fn) => {
      try { seen[name] = await fn(); } catch (e) { seen[name] = 'refused: ' + e.message; }
    };
    await step('initialize', () => addon.initialize());
    await step('finishStartup before the worker', () => addon.finishStartup());
    await step('prepareAccountWorker', () => addon.prepareAccountWorker());
    await step('readyAccountWorker', () => addon.readyAccountWorker());
    await step('finishStartup', () => addon.finishStartup());
    const work = await addon.beginWork();
    await step('adoptAccountWorker', () => addon.adoptAccountWorker(work));
    await step('releaseAccountWorker', () => addon.releaseAccountWorker(work));
    await addon.endWork(work);
    const second = await addon.beginWork();
    await step('adoptAccountWorker (second work)', () => addon.adoptAccountWorker(second));
    await step('endWork (revokes it)', () => addon.endWork(second));
    await step('dispose the worker', () => addon.dispose(seen.prepareAccountWorker.id));
    console.log(JSON.stringify(seen, null, 2));`;
  console.log('\nA job startup with account purpose "connect" and its account worker:');
  const connect = await launchRuntime({ home, role: 'job', purpose: 'connect', source: connectSource,
    args: [addonPath] });
  console.log(`  launcher exit code ${connect.exitCode}: ${connect.outcome}` +
    (connect.reason ? ` (${connect.reason})` : '') + `, runtime exit code ${connect.runtimeExitCode}`);
  check(connect.outcome === 'acknowledged' && connect.runtimeExitCode === 0, 'the "connect" job startup started and ended');
  console.log('  the runtime saw:');
  for (const line of (connect.stdout.trim() || '(nothing)').split(/\r?\n/)) console.log(`    ${line}`);
  if (connect.stderr.trim()) console.log(`  runtime errors:\n    ${connect.stderr.trim().split(/\r?\n/).join('\n    ')}`);

  // The product's resident runtime (product/resident.mjs): the launcher
  // starts it with role "resident"; inside the 3,000 ms broker startup
  // ceiling it starts its host and account worker, validates the worker with
  // a work, takes the endpoint record its host composed and publishes it.
  // It then serves until a line "end" arrives on its standard input, here a
  // named pipe of this demo; meanwhile an entry runtime of the same home
  // captures and recalls memories through it.
  console.log('\nThe product\'s resident runtime, started by the same launcher with role "resident":');
  const net = await import('node:net');
  const inputName = `\\\\.\\pipe\\nuvra-demo-resident-${randomBytes(8).toString('hex')}`;
  let inputSocket;
  const connected = new Promise((resolve) => { inputSocket = resolve; });
  const inputServer = net.createServer((socket) => inputSocket(socket));
  await new Promise((resolve) => inputServer.listen(inputName, resolve));
  const residentScript = fileURLToPath(new URL('../product/resident.mjs', import.meta.url));
  const residentAttempt = randomBytes(16).toString('hex');
  const running = launchRuntime({ home, role: 'resident', script: residentScript, args: [addonPath],
    stdin: inputName, env: { NUVRA_STARTUP_ATTEMPT: residentAttempt } });
  const endpointFile = path.win32.join(home.home, 'state', 'broker', 'endpoint.json');
  for (let waited = 0; !fs.existsSync(endpointFile) && waited < 60000; waited += 20) {
    await new Promise((r) => setTimeout(r, 20));
  }
  check(fs.existsSync(endpointFile), 'the resident published its endpoint');
  // Capture and recall: an entry runtime sends its requests through the
  // published broker, each a whole client operation (its terminal record
  // written after the work's end); the resident serves each version 2
  // request with a server work whose phases its host writes back as phase
  // frames, and records the server work's own terminal operation.
  const memorySource = `
    import { createRequire } from 'node:module';
    import { randomUUID } from 'node:crypto';
    import { brokerRequest } from ${JSON.stringify(pathToFileURL(fileURLToPath(new URL('../product/client.mjs', import.meta.url))).href)};
    const addon = createRequire(import.meta.url)(process.argv[2]);
    addon.initialize();
    addon.finishStartup();
    const ask = async (operation, body, version = 2) => {
      const request = { operation, body, version };
      try {
        const answer = await brokerRequest(addon, { operation, body: JSON.stringify(body), version, requestId: randomUUID() });
        request.answer = JSON.parse(answer.toString());
      } catch (e) { request.error = e.message; }
      console.log(JSON.stringify(request));
    };
    await ask('capture', { text: 'the demo kettle is blue' });
    await ask('capture', { text: 'tea goes in the kettle after the water boils' });
    await ask('recall', { word: 'kettle' });
    await ask('recall', { operation: 'recall', word: 'tea' }, 1);`;
  const clientAttempt = randomBytes(16).toString('hex');
  const memories = fs.existsSync(endpointFile)
    ? await launchRuntime({ home, source: memorySource, args: [addonPath], env: { NUVRA_STARTUP_ATTEMPT: clientAttempt } })
    : null;
  (await connected).end('end\n');
  const resident = await running;
  inputServer.close();
  console.log(`  launcher exit code ${resident.exitCode}: ${resident.outcome}` +
    (resident.reason ? ` (${resident.reason})` : '') + `, runtime exit code ${resident.runtimeExitCode}`);
  check(resident.outcome === 'acknowledged' && resident.runtimeExitCode === 0, 'the resident started and ended cleanly');
  const said = resident.stdout.trim().split(/\r?\n/).filter(Boolean).map((line) => JSON.parse(line));
  const published = said.find((line) => line.resident === 'published');
  check(published && published.startup_ms < 3000, 'the resident published within the 3,000 ms ceiling');
  if (published) {
    console.log(`  resident startup (first native call to publication): ${published.startup_ms} ms of 3000`);
    console.log('  the endpoint record its host composed and it published:');
    for (const line of JSON.stringify(JSON.parse(published.record), null, 2).split('\n')) console.log(`    ${line}`);
  }
  for (const line of said.filter((line) => line !== published)) console.log(`  it said: ${JSON.stringify(line)}`);
  if (resident.stderr.trim()) console.log(`  runtime errors:\n    ${resident.stderr.trim().split(/\r?\n/).join('\n    ')}`);

  console.log('\nCapture and recall from an entry runtime, served through the published broker:');
  const asked = memories ? memories.stdout.trim().split(/\r?\n/).filter(Boolean).map((line) => JSON.parse(line)) : [];
  for (const request of asked) {
    const outcome = request.error ? `refused: ${request.error}`
      : request.answer.memory ? `stored "${request.answer.memory.text}"`
        : request.answer.memories ? `found ${request.answer.memories.map((m) => `"${m.text}"`).join(', ') || 'nothing'}`
          : JSON.stringify(request.answer);
    console.log(`  v${request.version} ${request.operation} ${JSON.stringify(request.body)} -> ${outcome}`);
  }
  const texts = (i) => (asked[i]?.answer?.memories ?? []).map((m) => m.text).sort();
  check(asked.length === 4 && asked.every((r) => r.answer?.ok === true), 'every capture and recall succeeded');
  check(JSON.stringify(texts(2)) === JSON.stringify(['tea goes in the kettle after the water boils', 'the demo kettle is blue'])
    && JSON.stringify(texts(3)) === JSON.stringify(['tea goes in the kettle after the water boils']),
  'each recall found what was captured');
  if (memories?.stderr.trim()) console.log(`  runtime errors:\n    ${memories.stderr.trim().split(/\r?\n/).join('\n    ')}`);

  // The timeline, told by the product's own tool from what the runtimes
  // left in the home (log files, phase audits, the endpoint record) and
  // their startup traces; its picture and trace of this run are kept with
  // the demo's output.
  console.log('\nThe timeline the runtimes left behind, as product/timeline.mjs tells it:');
  const timelineTool = await import('../product/timeline.mjs');
  const keep = process.env.NUVRA_DEMO_OUT ?? process.env.TEMP ?? '.';
  const [svgFile, traceJson] = [path.win32.join(keep, 'timeline.svg'), path.win32.join(keep, 'timeline.trace.json')];
  let told = '';
  const { code: timelineCode, timeline } = timelineTool.run(['--home', home.home, '--svg', svgFile, '--trace', traceJson],
    { stdout: { write: (text) => { told += text; } } });
  for (const line of told.trimEnd().split('\n')) console.log(`  ${line}`);
  console.log(`  its picture: ${svgFile} (any browser opens it)`);
  console.log(`  its trace:   ${traceJson} (a trace viewer that reads trace-event JSON opens it)`);
  check(timelineCode === 0, 'the timeline of the demo\'s home found no anomaly');
  const sides = (timeline?.stories ?? []).flatMap((story) => story.sides ?? []);
  const ended = (role) => sides.filter((side) => side.role === role && side.terminal);
  check(ended('client').length === 4 && ended('server').length === 3 && sides.every((side) => side.ok === true),
    'every client operation and every server work has a successful terminal record');
  check((timeline?.stories ?? []).flatMap((story) => story.audits ?? []).length === 3,
    'every version 2 request left its sealed phase audit');

  const { secondDay } = await import('./demo_second_day.mjs');
  await secondDay({ home, addonPath, check,
    firstDay: ['the demo kettle is blue', 'tea goes in the kettle after the water boils'] });
} finally {
  removeHome(home);
}
if (failures.length) {
  console.log(`\nFAILED: ${failures.join('; ')}`);
  process.exitCode = 1;
} else {
  console.log('\nEvery step of the demo did what it should.');
}
