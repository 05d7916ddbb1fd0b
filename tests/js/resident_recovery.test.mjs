// A home whose earlier resident ended (cleanly, killed, or with its host
// killed) publishes again: product/resident.mjs runs the broker
// executable's "recover-endpoint" while it holds its reservation, which
// removes what is proven stale and leaves a diagnostic line naming it, and
// leaves what is not (a temporary file a publication may still be writing, a
// record naming live processes). Every case runs the product's resident in
// one home, in order; what each checks is read from the resident's output,
// the home's broker folder and its diagnostic log.
import { describe, it, before, after } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { addonPath } from './lib/addon.mjs';
import { endpointRecord, livePeer, plantBrokerFile } from './lib/endpoint_plant.mjs';
import { inputPipe, installHome, launchRuntime, removeHome, waitForFile } from './lib/home.mjs';

const residentScript = fileURLToPath(new URL('../../product/resident.mjs', import.meta.url));
const device = { sessionId: 'session-r', deviceId: 'device-r', consumerId: 'consumer-r' };
const RECORD = 'state\\broker\\endpoint.json';

const brokerFolder = (home) => path.win32.join(home.home, 'state', 'broker');
const brokerFiles = (home) => (fs.existsSync(brokerFolder(home)) ? fs.readdirSync(brokerFolder(home)).sort() : []);
const readRecord = (home) => fs.readFileSync(path.win32.join(brokerFolder(home), 'endpoint.json'), 'utf8');

function removalLines(home) {
  const logs = path.win32.join(home.home, 'logs');
  if (!fs.existsSync(logs)) return [];
  return fs.readdirSync(logs).sort().flatMap((name) =>
    fs.readFileSync(path.win32.join(logs, name), 'utf8').split('\n'))
    .filter((line) => line.includes('"stage":"stale_endpoint_removed"')).map((line) => JSON.parse(line));
}

const outputLines = (launch) => launch.stdout.trim().split(/\r?\n/).filter(Boolean).map((line) => JSON.parse(line));

// A resident with no input: it publishes (or fails to) and ends at once.
async function residentRun(home) {
  const launch = await launchRuntime({ home, role: 'resident', script: residentScript,
    args: [addonPath.testbed] });
  const output = outputLines(launch);
  // The recovery before publication; a clean end prints its own after.
  const publishedAt = output.findIndex((line) => line.resident === 'published');
  const startup = publishedAt < 0 ? output : output.slice(0, publishedAt);
  return { launch, output, recovery: startup.find((line) => line.resident === 'recovery'),
    published: output[publishedAt] };
}

// A resident that serves until `end()`; resolves once its record is
// published, with the record.
async function servingResident(home) {
  const input = inputPipe();
  await input.listening;
  const running = launchRuntime({ home, role: 'resident', script: residentScript,
    args: [addonPath.testbed], stdin: input.name });
  await waitForFile(path.win32.join(brokerFolder(home), 'endpoint.json'));
  const record = JSON.parse(readRecord(home));
  const finished = running.then((launch) => { input.close(); return { launch, output: outputLines(launch) }; });
  return { record, finished, end: () => input.say('end\n') };
}

const failedLine = (output) => output.find((line) => line.resident === 'failed');

describe('a resident of a home whose earlier resident ended', () => {
  let home;
  before(async () => { home = await installHome({ ...device }); });
  after(() => removeHome(home));

  it('after a clean end publishes with nothing to recover, and leaves nothing itself', async () => {
    const first = await residentRun(home);
    assert.ok(first.published, first.launch.stdout + first.launch.stderr);
    assert.deepEqual(first.output.at(-1), { resident: 'ended' });
    assert.deepEqual(brokerFiles(home), []);
    const second = await residentRun(home);
    assert.ok(second.published, second.launch.stdout + second.launch.stderr);
    assert.equal(second.recovery, undefined);
    assert.equal(second.launch.runtimeExitCode, 0);
    assert.deepEqual(brokerFiles(home), []);
    // Each clean end removed its own record once its host had exited.
    assert.deepEqual(removalLines(home).map((line) => [line.file, line.stale, line.pid]),
      [first, second].map((run) => [RECORD, 'broker_exited', JSON.parse(run.published.record).pid]));
  });

  it('after its runtime was killed publishes, naming the stale record it removed', async () => {
    const serving = await servingResident(home);
    process.kill(serving.record.parent_pid);
    const killed = await serving.finished;
    assert.notEqual(killed.launch.runtimeExitCode, 0);
    assert.deepEqual(brokerFiles(home), ['endpoint.json']);
    const before = removalLines(home).length;
    const next = await residentRun(home);
    assert.ok(next.published, next.launch.stdout + next.launch.stderr);
    assert.deepEqual(next.recovery, { resident: 'recovery', exit_code: 0, removed: [RECORD], kept: [] });
    // Then its own clean end removed its own record.
    const [line, own, ...more] = removalLines(home).slice(before);
    assert.deepEqual(more, []);
    assert.equal(own?.pid, JSON.parse(next.published.record).pid);
    assert.equal(line.file, RECORD);
    assert.equal(line.scope, 'resident_startup');
    // The host dies with the runtime's jobs: whichever the recovery found
    // gone first is named with its pid.
    const named = { broker_exited: serving.record.pid, runtime_exited: serving.record.parent_pid };
    assert.ok(line.stale in named, line.stale);
    assert.equal(line.pid, named[line.stale]);
  });

  it('after its host was killed ends itself non-zero, and the next one publishes', async () => {
    const serving = await servingResident(home);
    process.kill(serving.record.pid);
    const ended = await serving.finished;
    assert.equal(ended.launch.runtimeExitCode, 3, ended.launch.stdout);
    assert.equal(failedLine(ended.output)?.step, 'host', ended.launch.stdout);
    const before = removalLines(home).length;
    const next = await residentRun(home);
    assert.ok(next.published, next.launch.stdout + next.launch.stderr);
    assert.deepEqual(next.recovery?.removed, [RECORD]);
    const lines = removalLines(home).slice(before);
    assert.deepEqual(lines.map((line) => [line.file, line.stale, line.pid]),
      [[RECORD, 'broker_exited', serving.record.pid],
        [RECORD, 'broker_exited', JSON.parse(next.published.record).pid]]);
  });

  it('removes a temporary endpoint file older than the ceiling and its margin, and leaves a fresh one', async () => {
    const old = `endpoint.${'a'.repeat(64)}.tmp`;
    const fresh = `endpoint.${'b'.repeat(64)}.tmp`;
    await plantBrokerFile(home, old, '{"half":');
    await plantBrokerFile(home, fresh, '{"half":');
    const minuteAgo = new Date(Date.now() - 60000);
    fs.utimesSync(path.win32.join(brokerFolder(home), old), minuteAgo, minuteAgo);
    const before = removalLines(home).length;
    const run = await residentRun(home);
    try {
      assert.deepEqual(brokerFiles(home), [fresh]);
      assert.deepEqual(run.recovery, { resident: 'recovery', exit_code: 0, removed: [`state\\broker\\${old}`],
        kept: [{ kept: `state\\broker\\${fresh}`, why: 'fresh' }] });
      // Its publication refused over the fresh one, so the removal is told on
      // the resident's output, not in the log.
      assert.deepEqual(removalLines(home).slice(before), []);
      // The fresh one may still be written by a publication: this resident
      // refuses to publish over it, as it always did.
      assert.equal(run.published, undefined);
      assert.deepEqual(failedLine(run.output), { resident: 'failed', step: 'publish',
        error: 'broker_publication_recovery_required' });
    } finally {
      fs.rmSync(path.win32.join(brokerFolder(home), fresh), { force: true });
    }
  });

  it('leaves a record whose broker and runtime are live processes, and refuses to publish over it', async () => {
    const broker = await livePeer();
    const runtime = await livePeer();
    try {
      const text = endpointRecord(home, device, broker.facts, { parent_pid: runtime.facts.pid,
        parent_process_creation_filetime: runtime.facts.creation });
      await plantBrokerFile(home, 'endpoint.json', text);
      const before = removalLines(home).length;
      const run = await residentRun(home);
      assert.deepEqual(run.recovery?.kept, [{ kept: RECORD, why: 'live' }], run.launch.stdout);
      assert.equal(run.published, undefined);
      assert.deepEqual(failedLine(run.output), { resident: 'failed', step: 'publish',
        error: 'broker_publication_recovery_required' });
      assert.equal(readRecord(home), text);
      assert.deepEqual(removalLines(home).slice(before), []);
    } finally {
      await broker.end();
      await runtime.end();
    }
  });
});
