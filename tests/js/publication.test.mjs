// Resident publication: the product's whole resident startup
// (product/resident.mjs, started by the home's launcher), and every refusal
// of publishResident, each of which leaves its diagnostic and the home as it
// was. A refusal case runs one resident runtime that starts its host, hands
// it its observation, takes the record the host composed and publishes it,
// changed as the case says; what the case checks is read after the runtime
// ended, from its output, the log and the home's broker directory.
import { describe, it, before, after } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { fileURLToPath, pathToFileURL } from 'node:url';
import { addonPath } from './lib/addon.mjs';
import { brokerBuild, installHome, launchRuntime, removeHome, inputPipe, waitForFile }
  from './lib/home.mjs';

const productFile = (name) => fileURLToPath(new URL(`../../product/${name}`, import.meta.url));
const hostLinkUrl = pathToFileURL(productFile('host_link.mjs')).href;

// What the product promises: a resident publishes its broker within 3,000 ms
// of its first native call, or it ends (README, product/resident.mjs).
const STARTUP_CEILING_MS = 3000;

const STAGES = ['worker_prepare', 'worker_ready', 'account_validate', 'account_ready',
  'account_end', 'host_prepare', 'host_ready', 'publish'];

// A resident runtime's script: starts the host, hands it the observation and
// takes its record (`text`, and `record` parsed); `validate()` runs the
// account worker and a validation work through it. `publish(text)` tells a
// synchronous refusal (thrown, with its code) from a job's (a rejection).
// `prelude` runs before the first native call, outside the startup ceiling.
function script(body, prelude = '') {
  return `import { createRequire } from 'node:module';
import fs from 'node:fs';
import { HostLink } from ${JSON.stringify(hostLinkUrl)};
const addon = createRequire(import.meta.url)(${JSON.stringify(addonPath.testbed)});
const out = {};
const failure = (e, sync) => ({ sync, error: e.message, code: e.code, syntax: e instanceof SyntaxError });
const publish = async (text) => {
  let promise;
  try { promise = addon.publishResident(text); } catch (e) { return failure(e, true); }
  try { return { value: await promise }; } catch (e) { return failure(e, false); }
};
const validate = async () => {
  const prepared = await addon.prepareAccountWorker();
  await addon.readyAccountWorker();
  const work = await addon.beginWork();
  await addon.adoptAccountWorker(work);
  await addon.endWork(work);
  return prepared;
};
${prelude}
let host;
try {
  addon.initialize();
  addon.finishStartup();
  const spawned = await addon.spawnResidentHost();
  host = new HostLink(addon, spawned);
  await host.receive('ready');
  host.send({ type: 'residency', observation: await addon.observeResident() });
  const text = (await host.receive('endpoint')).record;
  const record = JSON.parse(text);
${body}
} catch (e) { out.crashed = e.stack; }
host?.close();
try { addon.endResident(); } catch (e) { out.endFailed = e.message; }
console.log(JSON.stringify(out));
process.exit();
`;
}

async function runResident(home, body, options = {}) {
  const launch = await launchRuntime({ home, role: 'resident', source: script(body, options.prelude),
    ...options });
  const line = launch.stdout.trim().split(/\r?\n/).pop();
  assert.ok(line, `no output; ${launch.launcherOutput} ${launch.reason} stderr: ${launch.stderr}`);
  const seen = JSON.parse(line);
  assert.equal(seen.crashed, undefined, seen.crashed);
  assert.equal(seen.endFailed, undefined);
  return { seen, launch };
}

const brokerDirectory = (home) => path.win32.join(home.home, 'state', 'broker');

// Names and contents of the broker directory, or null when there is none.
function brokerFiles(home) {
  const directory = brokerDirectory(home);
  if (!fs.existsSync(directory)) return null;
  return Object.fromEntries(fs.readdirSync(directory).sort().map((name) =>
    [name, fs.readFileSync(path.win32.join(directory, name), 'utf8')]));
}

function logLines(home) {
  const logs = path.win32.join(home.home, 'logs');
  if (!fs.existsSync(logs)) return [];
  return fs.readdirSync(logs).sort().flatMap((name) =>
    fs.readFileSync(path.win32.join(logs, name), 'utf8').split('\n'))
    .filter((line) => line.includes('"scope":"resident_startup"')).map((line) => JSON.parse(line));
}

const refusedLines = (home) => logLines(home).filter((line) => line.stage === 'publication_refused');



// An entry runtime of the same home reads the published record as every
// client does.
async function clientBudget(home) {
  const launch = await launchRuntime({ home, role: 'entry', source: `
import { createRequire } from 'node:module';
const addon = createRequire(import.meta.url)(${JSON.stringify(addonPath.testbed)});
addon.initialize();
addon.finishStartup();
const b = addon.prepareBrokerBudget('status');
console.log(JSON.stringify({ cold: b.cold, endpoint_json: b.endpoint_json }));
` });
  return JSON.parse(launch.stdout.trim().split(/\r?\n/).pop());
}

describe('the product resident startup', () => {
  let home;
  let launch;
  let output;
  let published;
  let filesWhilePublished;
  let client;
  before(async () => {
    home = await installHome({ sessionId: 'session-7', deviceId: 'device-7', consumerId: 'consumer-7' });
    const input = inputPipe();
    await input.listening;
    const running = launchRuntime({ home, role: 'resident', script: productFile('resident.mjs'),
      args: [addonPath.testbed], stdin: input.name });
    try {
      await waitForFile(path.win32.join(brokerDirectory(home), 'endpoint.json'));
      filesWhilePublished = brokerFiles(home);
      client = await clientBudget(home);
    } finally {
      await input.say('end\n');
      launch = await running;
      input.close();
    }
    output = launch.stdout.trim().split(/\r?\n/).map((line) => JSON.parse(line));
    published = output.find((line) => line.resident === 'published');
  });
  after(() => removeHome(home));

  it('publishes the record its host composed, and nothing else, inside the ceiling', () => {
    assert.ok(published, `${launch.stdout} ${launch.stderr}`);
    assert.deepEqual(filesWhilePublished, { 'endpoint.json': published.record });
    assert.ok(Number.isInteger(published.startup_ms) && published.startup_ms > 0, published.startup_ms);
    assert.ok(published.startup_ms <= STARTUP_CEILING_MS, `published after ${published.startup_ms} ms`);
    const record = JSON.parse(published.record);
    assert.deepEqual(Object.keys(record), ['schema_version', 'protocol_version', 'broker_binding',
      'broker_instance', 'owner_sid_hash', 'pipe_name', 'started_at', 'published_at', 'broker_scope',
      'pid', 'process_creation_filetime', 'image_path_sha256', 'authentication_id_hash',
      'windows_session_id', 'installation_root_sha256', 'parent_pid',
      'parent_process_creation_filetime', 'parent_image_path_sha256']);
    assert.equal(record.parent_pid, launch.runtimePid);
    assert.notEqual(record.pid, record.parent_pid);
    assert.equal(record.owner_sid_hash, home.ownerSidHash);
    assert.equal(record.installation_root_sha256, home.homeKey);
    assert.equal(record.pipe_name, `\\\\.\\pipe\\nuvra-memory-v1-${record.broker_binding.slice(0, 48)}`);
    assert.match(record.broker_instance, /^[0-9a-f]{32}$/);
    assert.ok(record.started_at <= record.published_at, `${record.started_at} ${record.published_at}`);
  });

  it('is read warm by a client of the home, binding and processes verified', () => {
    assert.deepEqual(client, { cold: false, endpoint_json: published.record });
  });

  it('records every startup step, publication last', () => {
    // A clean end removes the resident's own record and says so after them.
    const stages = logLines(home).map((line) => line.stage).filter((stage) => stage !== 'stale_endpoint_removed');
    assert.deepEqual([...stages].sort(), [...STAGES].sort());
    assert.equal(stages.at(-1), 'publish');
  });

  it('stays up until told to end, then ends its host with the resident', () => {
    assert.deepEqual(output.at(-1), { resident: 'ended' });
    assert.equal(launch.runtimeExitCode, 0, launch.stderr);
    assert.throws(() => process.kill(JSON.parse(published.record).pid, 0));
  });
});

describe('publishResident', () => {
  let home;
  before(async () => { home = await installHome(); });
  after(() => removeHome(home));

  // Refused before any job: thrown, with the reason as its code too.
  const synchronous = [
    { name: 'a 19th key', text: 'JSON.stringify({ ...record, extra: 1 })', reason: 'broker_endpoint_invalid' },
    { name: 'no "parent_pid"', text: 'JSON.stringify({ ...record, parent_pid: undefined })', reason: 'broker_endpoint_invalid' },
    { name: 'an upper-case binding', text: `JSON.stringify({ ...record, broker_binding: record.broker_binding.toUpperCase(),
      pipe_name: record.pipe_name.slice(0, -48) + record.broker_binding.slice(0, 48).toUpperCase() })`, reason: 'broker_endpoint_invalid' },
    { name: '"pid" 4242.5', text: 'JSON.stringify({ ...record, pid: 4242.5 })', reason: 'broker_endpoint_invalid' },
    { name: '"pid" above 4,294,967,295', text: 'JSON.stringify({ ...record, pid: 4294967296 + record.pid })', reason: 'broker_endpoint_invalid' },
    { name: '"pid" as the text "4242"', text: 'JSON.stringify({ ...record, pid: "4242" })', reason: 'profile_native_api', classified: 'native_unclassified' },
    { name: 'a scope that is not this process\'s', text: `JSON.stringify({ ...record,
      broker_scope: record.broker_scope === 'machine' ? 'harness_session' : 'machine' })`, reason: 'broker_endpoint_invalid' },
    { name: 'another Windows session', text: 'JSON.stringify({ ...record, windows_session_id: record.windows_session_id + 1 })', reason: 'broker_native_peer_refused' },
    { name: 'another logon', text: 'JSON.stringify({ ...record, authentication_id_hash: "a".repeat(64) })', reason: 'broker_native_peer_refused' },
    { name: 'a host created at another time', text: `JSON.stringify({ ...record,
      process_creation_filetime: String(BigInt(record.process_creation_filetime) + 1n) })`, reason: 'broker_native_peer_refused' },
    { name: 'a host image of another runtime directory', text: 'JSON.stringify({ ...record, image_path_sha256: "a".repeat(64) })', reason: 'broker_native_peer_refused' },
    { name: 'another home', text: 'JSON.stringify({ ...record, installation_root_sha256: "b".repeat(64) })', reason: 'broker_native_peer_refused' },
    { name: 'a record published before it started', text: 'JSON.stringify({ ...record, published_at: "2000-01-01T00:00:00.000Z" })', reason: 'broker_endpoint_invalid' },
    { name: 'a record of 8,192 bytes', text: 'text.slice(0, -1) + " ".repeat(8192 - Buffer.byteLength(text)) + "}"', reason: 'broker_endpoint_invalid' },
    { name: 'a host that has exited', prepare: 'addon.kill(spawned.id); await host.exited;', text: 'text', reason: 'broker_native_exited' },
  ];
  for (const c of synchronous) {
    it(`refuses ${c.name} at once, with its code and diagnostic, writing nothing`, async () => {
      const before = refusedLines(home).length;
      const { seen } = await runResident(home, `
${c.prepare ?? ''}
out.result = await publish(${c.text});
`);
      assert.deepEqual(seen.result, { sync: true, error: c.reason, code: c.reason, syntax: false });
      const lines = refusedLines(home).slice(before);
      assert.equal(lines.length, 1);
      assert.equal(lines[0].error_code, c.classified ?? c.reason);
      assert.deepEqual(Object.keys(lines[0]), ['schema_version', 'scope', 'stage', 'error_kind',
        'error_code', 'elapsed_ms', 'remaining_ms']);
      assert.equal(lines[0].error_kind, 'native_exception');
      assert.equal(brokerFiles(home), null);
    });
  }

  it('throws the engine\'s own exception for a malformed record, and a second call is a duplicate', async () => {
    const before = refusedLines(home).length;
    const { seen } = await runResident(home, `
out.malformed = await publish(text.slice(0, -1));
out.again = await publish(text);
`);
    assert.equal(seen.malformed.sync, true);
    assert.equal(seen.malformed.syntax, true, JSON.stringify(seen.malformed));
    assert.equal(seen.malformed.code, undefined);
    assert.deepEqual(seen.again, { sync: true, error: 'profile_resident_publication_duplicate',
      code: 'profile_resident_publication_duplicate', syntax: false });
    assert.deepEqual(refusedLines(home).slice(before).map((line) => line.error_code),
      ['native_unclassified', 'native_unclassified']);
    assert.equal(brokerFiles(home), null);
  });

  it('refuses outside a resident runtime, on standard error since there is no resident to log for', async () => {
    const before = refusedLines(home).length;
    const launch = await launchRuntime({ home, role: 'entry', source: `
import { createRequire } from 'node:module';
const addon = createRequire(import.meta.url)(${JSON.stringify(addonPath.testbed)});
addon.initialize();
addon.finishStartup();
let seen;
try { seen = { value: addon.publishResident('{}') }; } catch (e) { seen = { error: e.message, code: e.code }; }
console.log(JSON.stringify(seen));
` });
    assert.deepEqual(JSON.parse(launch.stdout.trim()),
      { error: 'profile_resident_unavailable', code: 'profile_resident_unavailable' });
    assert.equal(launch.stderr,
      'Nuvra publication refused: native_exception/profile_resident_unavailable; diagnostic_unavailable\n');
    assert.equal(refusedLines(home).length, before);
  });

  // Another process holds the home's mutex and a checkpoint job waits for
  // it: the refusal's line, written on the JavaScript thread, waits for
  // neither. It goes to standard error, and the checkpoint is written once
  // the mutex is let go. The holder starts before the ceiling's clock does.
  it('refuses at once while another process holds the home\'s mutex', async () => {
    const before = logLines(home).length;
    const { seen, launch } = await runResident(home, `
await holder.take();
const checkpoint = (async () => {
  try { return { value: await addon.residentCheckpoint('publish') }; } catch (e) { return { error: e.message }; }
})();
// Room for the job to reach its wait; what is checked does not hang on it.
await new Promise((resolve) => setTimeout(resolve, 100));
out.result = await publish(JSON.stringify({ ...record, extra: 1 }));
out.holderExit = await holder.release();
out.checkpoint = await checkpoint;
`, { prelude: `
const { spawn } = await import('node:child_process');
const holder = await (async () => {
  const child = spawn(${JSON.stringify(brokerBuild.testbed)}, ['hold-serialization', ${JSON.stringify(home.home)}, 'input'],
    { stdio: ['pipe', 'pipe', 'ignore'], windowsHide: true });
  const exited = new Promise((resolve) => child.on('close', resolve));
  let said = '';
  const waiters = new Set();
  child.stdout.setEncoding('utf8').on('data', (d) => { said += d; for (const w of [...waiters]) w(); });
  const heard = (word) => new Promise((resolve) => {
    const look = () => { if (said.includes(word)) { waiters.delete(look); resolve(); } };
    waiters.add(look);
    look();
  });
  await heard('waiting');
  return {
    take: () => { child.stdin.write('take\\n'); return heard('held'); },
    release: () => { child.stdin.end(); return exited; },
  };
})();
` });
    assert.deepEqual(seen.result, { sync: true, error: 'broker_endpoint_invalid',
      code: 'broker_endpoint_invalid', syntax: false });
    assert.equal(seen.holderExit, 0);
    assert.deepEqual(seen.checkpoint, { value: true });
    assert.equal(launch.stderr,
      'Nuvra publication refused: native_exception/broker_endpoint_invalid; diagnostic_unavailable\n');
    assert.deepEqual(logLines(home).slice(before).map((line) => line.stage), ['publish']);
  });

  it('writes the standard-error line instead of the log when logging is "off"', async () => {
    const before = refusedLines(home).length;
    const { seen, launch } = await runResident(home,
      'out.result = await publish(JSON.stringify({ ...record, extra: 1 }));',
      { env: { NUVRA_AUTH_LOG_LEVEL: 'off' } });
    assert.equal(seen.result.error, 'broker_endpoint_invalid');
    assert.equal(launch.stderr,
      'Nuvra publication refused: native_exception/broker_endpoint_invalid; diagnostic_unavailable\n');
    assert.equal(refusedLines(home).length, before);
  });

  // Refused by the job: a rejection without a code; the job carried the
  // account worker, which goes with it.
  const byJob = [
    { name: 'without a validation work', body: '', reason: 'profile_resident_validation_required' },
    { name: 'while a work is live', body: 'await validate(); out.live = await addon.beginWork();', reason: 'profile_resident_work_unsettled' },
    { name: 'while the worker holds a work', body: 'await validate(); await addon.adoptAccountWorker(await addon.beginWork());', reason: 'profile_account_busy' },
    // Not made owner-only: whatever the system gives a new directory.
    { name: 'into a broker directory made by someone else', mkdir: true, body: 'await validate();', reason: 'profile_security' },
  ];
  for (const c of byJob) {
    it(`rejects a publication ${c.name}, leaving the home as it was`, async () => {
      if (c.mkdir) fs.mkdirSync(brokerDirectory(home));
      const files = brokerFiles(home);
      const before = refusedLines(home).length;
      try {
        const { seen } = await runResident(home, `
${c.body}
out.result = await publish(text);
`);
        assert.deepEqual(seen.result, { sync: false, error: c.reason, syntax: false });
        assert.deepEqual(refusedLines(home).slice(before).map((line) => line.error_code), [c.reason]);
        assert.deepEqual(brokerFiles(home), files);
      } finally {
        fs.rmSync(brokerDirectory(home), { recursive: true, force: true });
      }
    });
  }
});

// Publication holds the account worker as an adopt does: a dispose of the
// worker while the job runs is refused, and the job publishes with the
// worker it checked.
describe('publishResident and a dispose of its account worker', () => {
  let home;
  let seen;
  before(async () => {
    home = await installHome();
    ({ seen } = await runResident(home, `
const { id } = await validate();
const publishing = publish(text);
out.dispose = await (async () => {
  try { return { value: await addon.dispose(id) }; } catch (e) { return { error: e.message }; }
})();
out.result = await publishing;
`));
  });
  after(() => removeHome(home));

  it('refuses the dispose while the publication holds the worker', () => {
    assert.deepEqual(seen.dispose, { error: 'profile_account_busy' });
    assert.deepEqual(seen.result, { value: true });
  });
});

describe('publishResident over the files of an earlier run', () => {
  let home;
  let first;
  before(async () => {
    home = await installHome();
    // Waits for the host's wake too, which follows its lines (the endpoint, "activated").
    ({ seen: first } = await runResident(home, `await validate(); out.result = await publish(text);
for (let i = 0; i < 2000 && !host.wakes; i += 1) await new Promise((resolve) => setTimeout(resolve, 5));
out.woken = host.wakes > 0;`));
  });
  after(() => removeHome(home));

  const refuseOver = async (files) => {
    assert.deepEqual(brokerFiles(home), files);
    const before = refusedLines(home).length;
    const { seen } = await runResident(home, 'await validate(); out.result = await publish(text);');
    assert.deepEqual(seen.result, { sync: false, error: 'broker_publication_recovery_required', syntax: false });
    assert.deepEqual(refusedLines(home).slice(before).map((line) => line.error_code),
      ['broker_publication_recovery_required']);
    assert.deepEqual(brokerFiles(home), files);
  };

  it('refuses a stale "endpoint.json" and leaves it untouched', async () => {
    assert.deepEqual(first.result, { value: true });
    assert.equal(first.woken, true);
    const stale = fs.readFileSync(path.win32.join(brokerDirectory(home), 'endpoint.json'), 'utf8');
    await refuseOver({ 'endpoint.json': stale });
  });

  it('refuses a stray temporary file and leaves it untouched', async () => {
    const stray = `endpoint.${'c'.repeat(64)}.tmp`;
    fs.renameSync(path.win32.join(brokerDirectory(home), 'endpoint.json'),
      path.win32.join(brokerDirectory(home), stray));
    await refuseOver({ [stray]: fs.readFileSync(path.win32.join(brokerDirectory(home), stray), 'utf8') });
  });
});

describe('publishResident with a record of 8,191 bytes, keys in another order', () => {
  let home;
  let seen;
  let client;
  let files;
  before(async () => {
    home = await installHome();
    // Keys in another order and padded to exactly 8,191 bytes: written as
    // it is, and read by a client as it is.
    ({ seen } = await runResident(home, `
await validate();
const { published_at, started_at, ...rest } = record;
const reordered = JSON.stringify({ published_at, started_at, ...rest });
out.text = reordered.slice(0, -1) + ' '.repeat(8191 - Buffer.byteLength(reordered)) + '}';
out.result = await publish(out.text);
out.again = await publish(text);
out.checkpoint = await (async () => { try { return addon.residentCheckpoint('publish'); } catch (e) { return e.message; } })();
`));
    files = brokerFiles(home);
    client = await clientBudget(home);
  });
  after(() => removeHome(home));

  it('accepts 8,191 bytes with the keys in any order and writes them as they are', () => {
    assert.deepEqual(seen.result, { value: true });
    assert.equal(Buffer.byteLength(seen.text), 8191);
    assert.deepEqual(files, { 'endpoint.json': seen.text });
  });

  it('is published for good: every later resident call is unavailable', () => {
    assert.deepEqual(seen.again, { sync: true, error: 'profile_resident_unavailable',
      code: 'profile_resident_unavailable', syntax: false });
    assert.equal(seen.checkpoint, 'profile_resident_unavailable');
  });

  it('leaves a record that clients read cold once its host has ended', () => {
    assert.ok(files?.['endpoint.json'], JSON.stringify(files));
    assert.deepEqual(client, { cold: true, endpoint_json: '' });
  });
});
