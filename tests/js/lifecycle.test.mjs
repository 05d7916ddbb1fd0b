// A product home that lives: cycles of a resident started on demand
// (product/ensure_resident.mjs), several entry runtimes capturing and
// recalling through it at once (product/client.mjs), and an ending from the
// table below, with the servicing side's repair when the home needs it.
// After every cycle the home is checked from outside: each client
// checkpoint has exactly one terminal record, every log line parses, every
// audit file is whole, the store passes SQLite's integrity check and holds
// every capture whose terminal record says ok true exactly once, and
// "check --home" finds nothing but what the ending leaves for the next
// resident. At the end every saved capture is recalled through the broker
// and no process of the home is left.
//
// NUVRA_SOAK_CYCLES runs that many cycles (the table over and over; default
// one pass) and NUVRA_SOAK_REPORT names a file for the figures.
import { describe, it, before, after } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { randomBytes, randomUUID } from 'node:crypto';
import { pathToFileURL, fileURLToPath } from 'node:url';
import { addonPath } from './lib/addon.mjs';
import { installHome, installerPath, launchRuntime, removeHome, run, writeRecord } from './lib/home.mjs';

const productFile = (name) => fileURLToPath(new URL(`../../product/${name}`, import.meta.url));
const { ensureResident, endpointFile } = await import(pathToFileURL(productFile('ensure_resident.mjs')).href);
const { MemoryStore, storeFile } = await import(pathToFileURL(productFile('store.mjs')).href);
const { splitLines, parseLine } = await import(pathToFileURL(productFile('timeline.mjs')).href);

// How a cycle ends, and what "check --home" may then report: a kill leaves
// the published record of a dead resident; a kill inside the serialisation
// mutex also the servicing record in "RECOVERY_REQUIRED".
const ENDINGS = {
  clean: { allowed: [] },
  kill_runtime: { allowed: ['broker_native_exited', 'profile_selection'] },
  kill_host: { allowed: ['broker_native_exited'] },
};
const CYCLES = [
  { name: 'two callers start the resident at once; it ends cleanly', starters: 2, end: 'clean' },
  { name: 'the resident is killed at a random moment', end: 'kill_runtime' },
  { name: 'the resident\'s host is killed', end: 'kill_host' },
  // Killed while a log write of its own owns the mutex (the test bed's
  // "mutex-stall" holds it there), shown by the record the next holder
  // writes; then repaired.
  { name: 'the resident is killed inside the serialisation mutex', end: 'kill_runtime', inside: true },
  { name: 'a temporary endpoint file of a publication left half done', plant: 'temporary', end: 'clean' },
  { name: 'a published record whose resident never activated', plant: 'unactivated', end: 'clean' },
];
// Why a client operation may end without its terminal record.
const UNRECORDED = ['profile_startup_timeout', 'terminal_end_required', 'profile_recovery_required'];
const CLIENTS = 3;
const CAPTURES = 4;
const cycles = Number(process.env.NUVRA_SOAK_CYCLES ?? CYCLES.length);
const pause = (ms) => new Promise((resolve) => { setTimeout(resolve, ms); });

// One client runtime: once started it leaves a file at `gate` and sends
// nothing before "go" appears there; then it captures (each capture a word
// of its own) and recalls the previous capture's word, and retries the
// captures it is given with their first request ids. Prints
// [{ operation, requestId, word, text, error? }].
async function client(home, plan) {
  const launch = await launchRuntime({ home, role: 'job', args: [Buffer.from(JSON.stringify(plan)).toString('base64')], source: `
import fs from 'node:fs';
import { createRequire } from 'node:module';
import { brokerRequest } from ${JSON.stringify(pathToFileURL(productFile('client.mjs')).href)};
const addon = createRequire(import.meta.url)(${JSON.stringify(addonPath.testbed)});
addon.initialize();
addon.finishStartup();
const plan = JSON.parse(Buffer.from(process.argv[2], 'base64').toString());
fs.writeFileSync(plan.gate + '\\\\ready-' + process.pid, '');
while (!fs.existsSync(plan.gate + '\\\\go')) await new Promise((resolve) => setTimeout(resolve, 5));
const out = [];
const send = async (operation, body, requestId, extra) => {
  const entry = { operation, requestId, ...extra };
  try {
    const answer = JSON.parse((await brokerRequest(addon, { operation, body: JSON.stringify(body), requestId })).toString());
    if (operation === 'recall') entry.found = (answer.memories ?? []).map((m) => m.text);
  } catch (e) {
    entry.error = e.message;
    if (e.recorded !== undefined) entry.recorded = e.recorded;
    if (e.terminalError) entry.unrecorded = e.terminalError;
  }
  out.push(entry);
};
for (const again of plan.retries) await send('capture', { text: again.text }, again.requestId, again);
for (const capture of plan.captures) {
  await send('capture', { text: capture.text }, capture.requestId, capture);
  await send('recall', { word: capture.word }, plan.recallIds.shift(), { word: capture.word });
}
console.log(JSON.stringify(out));
` });
  const line = launch.stdout.trim().split(/\r?\n/).pop();
  assert.ok(line, `client: no output; ${launch.outcome} ${launch.reason} ${launch.stderr}`);
  return JSON.parse(line);
}

function newCaptures(cycle, clientIndex) {
  return Array.from({ length: CAPTURES }, (_, i) => {
    const word = `w${cycle}x${clientIndex}x${i}x${randomBytes(3).toString('hex')}`;
    return { requestId: randomUUID(), word, text: `soak cycle ${cycle} client ${clientIndex} note ${i} ${word}` };
  });
}

// Every record of every log file, read as the home's timeline reads them;
// a line that does not parse fails, but for a record cut short by a killed
// writer (followed by the next writer's whole record, or ending the file),
// which adds to `torn`.
function logRecords(home, counts) {
  const logs = path.win32.join(home.home, 'logs');
  if (!fs.existsSync(logs)) return [];
  counts.torn = 0;
  return fs.readdirSync(logs).flatMap((name) => splitLines(fs.readFileSync(path.win32.join(logs, name))).flatMap((line) => {
    const parsed = parseLine(line);
    if (parsed.torn || (!line.ended && line.bytes.length)) counts.torn += 1;
    if (!line.ended) return [];
    assert.ok(!parsed.problem, `${name}: a line that does not parse (${parsed.problem}): ${line.bytes}`);
    return [parsed.data];
  }));
}

function auditFiles(home) {
  const directory = path.win32.join(home.home, 'state', 'broker');
  return fs.readdirSync(directory).filter((name) => /^phase-[0-9a-f]{64}\.bin$/.test(name))
    .map((name) => fs.readFileSync(path.win32.join(directory, name)));
}

async function checkHome(home) {
  const { code, stdout } = await run(home.brokerImage, ['check', '--home', home.home]);
  const reasons = stdout.split(/\r?\n/).map((line) => line.match(/ {2}\[([^\]]+)\]$/)).filter(Boolean).map((m) => m[1]);
  return { code, stdout, reasons };
}

const servicingState = (home) => JSON.parse(fs.readFileSync(
  path.win32.join(home.home, 'state', 'runtime', 'servicing.json'), 'utf8')).state;
const isAlive = (pid) => {
  try {
    process.kill(pid, 0);
    return true;
  } catch {
    return false;
  }
};

describe('a home lives through restarts, kills and repairs', () => {
  let home;
  let gateCount = 0;
  const sent = new Map(); // requestId -> { operation, text, word }
  const retries = [];
  const attempts = new Map(); // requestId -> { sent, unrecorded }, over all cycles
  const pids = new Set();
  let lastRecord = null;
  const figures = { cycles: 0, operations: 0, kills: 0, torn: 0, repairs: 0, lost: 0, duplicates: 0, unrecorded: {}, restartMs: [] };
  let killedBefore = false;
  // Residents started and not yet seen to end: a failed cycle must not leave
  // one serving (its input pipe would keep this process alive).
  const residents = new Set();

  before(async () => { home = await installHome(); });
  after(async () => {
    for (const resident of residents) {
      for (const pid of [resident.pid, resident.hostPid]) {
        try {
          process.kill(pid);
        } catch {
          // gone already
        }
      }
      await resident.end();
    }
    const report = process.env.NUVRA_SOAK_REPORT;
    if (report) fs.writeFileSync(report, JSON.stringify(figures));
    if (home) removeHome(home);
  });

  const start = async (starters) => {
    const began = performance.now();
    const all = await Promise.all(Array.from({ length: starters }, () => ensureResident({
      home: home.home, addonPath: addonPath.testbed, installer: installerPath(), scratch: home.scratch })
      .catch((error) => assert.fail(`${error.message}: ${JSON.stringify(error.detail)}`))));
    const resident = all.map((s) => s.resident).filter(Boolean);
    assert.equal(resident.length, 1, `one resident serves: ${JSON.stringify(all.map((s) => s.steps))}`);
    const steps = all.flatMap((s) => s.steps);
    figures.repairs += steps.filter((s) => s.startsWith('repair')).length;
    if (killedBefore) figures.restartMs.push(performance.now() - began);
    killedBefore = false;
    pids.add(resident[0].pid);
    pids.add(resident[0].hostPid);
    residents.add(resident[0]);
    resident[0].exited.then(() => residents.delete(resident[0]));
    return { resident: resident[0], steps };
  };

  // One pass of clients with an ending; resolves with what they reported.
  const serveAndEnd = async (cycle, row, resident) => {
    const gate = path.win32.join(home.scratch, `gate-${gateCount += 1}`);
    fs.mkdirSync(gate);
    const plans = Array.from({ length: CLIENTS }, (_, i) => ({
      gate, captures: newCaptures(cycle, i), retries: i === 0 ? retries.splice(0) : [],
      recallIds: Array.from({ length: CAPTURES }, () => randomUUID()) }));
    for (const plan of plans) {
      for (const c of [...plan.captures, ...plan.retries]) sent.set(c.requestId, { operation: 'capture', ...c });
    }
    const running = Promise.all(plans.map((plan) => client(home, plan)));
    running.catch(() => {});
    let ended = false;
    running.finally(() => { ended = true; }).catch(() => {});
    while (!ended && fs.readdirSync(gate).filter((n) => n.startsWith('ready-')).length < CLIENTS) await pause(20);
    fs.writeFileSync(path.win32.join(gate, 'go'), '');
    const stall = path.win32.join(home.home, 'mutex-stall');
    const stalled = path.win32.join(home.home, 'mutex-stalled');
    if (row.inside) {
      fs.writeFileSync(stall, String(resident.pid));
      while (!fs.existsSync(stalled) && !ended) await pause(5);
      assert.ok(fs.existsSync(stalled), 'the resident wrote no log line while the clients ran');
    } else if (row.end !== 'clean') {
      // A random moment of the clients' stream.
      await pause(Math.random() * 1500);
    }
    if (row.end !== 'clean') {
      process.kill(row.end === 'kill_host' ? resident.hostPid : resident.pid);
      figures.kills += 1;
      killedBefore = true;
    }
    fs.rmSync(stall, { force: true });
    fs.rmSync(stalled, { force: true });
    const reports = (await running).flat();
    if (row.end === 'clean') await resident.end();
    // Killed or not, the resident ends by itself: a host that died takes its
    // runtime with it.
    const launch = await Promise.race([resident.exited, pause(60000).then(() => null)]);
    assert.ok(launch, 'the resident ended');
    if (row.end === 'clean') assert.equal(launch.runtimeExitCode, 0, JSON.stringify(launch));
    if (row.end === 'kill_host') assert.notEqual(launch.runtimeExitCode, 0, JSON.stringify(launch));
    figures.operations += reports.length;
    for (const report of reports) {
      // A capture that failed is retried with its first request id next time.
      if (report.operation === 'capture' && report.error && !report.retried) {
        retries.push({ requestId: report.requestId, word: report.word, text: report.text, retried: true });
      }
    }
    return reports;
  };

  const verify = async (row, reports) => {
    // Terminal records. Checkpoints do not say which side wrote them, so the
    // count decides: a client writes a terminal record for every checkpoint,
    // unless it says why it could not (below); a server work one for its own
    // unless its resident was killed under it or its budget ran out first.
    const records = logRecords(home, figures);
    // Only a killed writer leaves a record unfinished.
    assert.ok(figures.torn <= figures.kills, `${figures.torn} records cut short, ${figures.kills} kills`);
    const ids = new Set(reports.map((r) => r.requestId));
    const checkpoints = records.filter((r) => r.event === 'terminal_pending' && ids.has(r.request_id));
    const terminals = records.filter((r) => r.event === 'operation_result');
    const unended = new Map();
    for (const checkpoint of checkpoints) {
      const matching = terminals.filter((t) => t.operation_id === checkpoint.operation_id);
      assert.ok(matching.length <= 1, `checkpoint ${checkpoint.operation_id} has ${matching.length} terminal records`);
      if (!matching.length) unended.set(checkpoint.request_id, (unended.get(checkpoint.request_id) ?? 0) + 1);
    }
    for (const report of reports) {
      // What may keep a client's record out of the log: no record is written
      // once the work's budget is spent, nor by the first process to find the
      // home's mutex abandoned by a killed holder.
      if (report.unrecorded) {
        assert.ok(UNRECORDED.includes(report.unrecorded), JSON.stringify(report));
        figures.unrecorded[report.unrecorded] = (figures.unrecorded[report.unrecorded] ?? 0) + 1;
      }
      // Sent again by a retry, a request id may leave one server checkpoint
      // alone per attempt, and each unrecorded attempt its client checkpoint.
      const seen = attempts.get(report.requestId) ?? { sent: 0, unrecorded: 0 };
      seen.sent += 1;
      if (report.unrecorded) seen.unrecorded += 1;
      attempts.set(report.requestId, seen);
      // Each success and each failure that says it was recorded has its
      // record (a failure before the work began has no checkpoint either).
      if (!report.error || report.recorded) {
        assert.ok(terminals.some((t) => t.client && t.request_id === report.requestId && t.ok === !report.error),
          `no client terminal record for ${JSON.stringify(report)}`);
      }
    }
    const over = [...unended].filter(([rid, n]) => n > attempts.get(rid).sent + attempts.get(rid).unrecorded)
      .map(([rid]) => rid);
    assert.deepEqual(over, [], `a client checkpoint without its terminal record: ${JSON.stringify(over.slice(0, 2)
      .map((rid) => [reports.filter((r) => r.requestId === rid), records.filter((r) => r.request_id === rid)]))}`);
    for (const audit of auditFiles(home)) {
      assert.equal(audit.length, 4096);
      assert.equal(audit.toString('latin1', 0, 15), 'NUVRA_AUDIT_V3\t');
    }
    // The store: whole, and every saved capture exactly once.
    const store = new MemoryStore(home.home);
    let rows;
    try {
      assert.deepEqual(store.db.prepare('PRAGMA integrity_check').all().map((r) => r.integrity_check), ['ok']);
      store.db.exec("INSERT INTO memory_words(memory_words) VALUES ('integrity-check')");
      rows = store.all();
    } finally {
      store.close();
    }
    const texts = new Map();
    for (const r of rows) texts.set(r.text, (texts.get(r.text) ?? 0) + 1);
    figures.duplicates = [...texts.values()].filter((n) => n > 1).length;
    const saved = terminals.filter((t) => t.ok && sent.get(t.request_id)?.operation === 'capture');
    const lost = saved.filter((t) => !texts.has(sent.get(t.request_id).text));
    figures.lost = lost.length;
    assert.equal(figures.duplicates, 0, 'no memory is stored twice');
    assert.deepEqual(lost.map((t) => t.request_id), [], 'every saved capture is in the store');
    // What the ending leaves for the next resident, and nothing else.
    const checked = await checkHome(home);
    const unexpected = checked.reasons.filter((reason) => !ENDINGS[row.end].allowed.includes(reason));
    assert.deepEqual(unexpected, [], checked.stdout);
  };

  for (let cycle = 0; cycle < cycles; cycle += 1) {
    const row = CYCLES[cycle % CYCLES.length];
    it(`cycle ${cycle}: ${row.name}`, async () => {
      if (row.plant === 'temporary') {
        const name = `state\\broker\\endpoint.${randomBytes(32).toString('hex')}.tmp`;
        await writeRecord(home, name, '{"half":');
        const old = new Date(Date.now() - 3600 * 1000);
        fs.utimesSync(path.win32.join(home.home, name), old, old);
      }
      if (row.plant === 'unactivated') {
        assert.ok(lastRecord, 'an earlier resident published a record');
        await writeRecord(home, 'state\\broker\\endpoint.json', lastRecord);
      }
      const { resident } = await start(row.starters ?? 1);
      lastRecord = fs.readFileSync(endpointFile(home.home), 'utf8');
      const reports = await serveAndEnd(cycle, row, resident);
      const recovery = servicingState(home) === 'RECOVERY_REQUIRED';
      // A kill at a random moment may land inside the mutex as well.
      if (row.inside) assert.ok(recovery, 'the kill inside the mutex left the home needing its repair');
      await verify(row, reports);
      if (recovery) {
        // The next start repairs the home.
        const next = await start(1);
        assert.ok(next.steps.some((step) => step === 'repair exit 0'), JSON.stringify(next.steps));
        assert.equal(servicingState(home), 'COMMITTED');
        await verify({ end: 'clean' }, await serveAndEnd(cycle, { end: 'clean' }, next.resident));
      }
      figures.cycles += 1;
    });
  }

  it('recalls every saved capture after all the restarts, and leaves no process behind', async () => {
    const { resident } = await start(1);
    const records = logRecords(home, figures);
    const saved = [...new Set(records.filter((t) => t.event === 'operation_result' && t.ok
      && sent.get(t.request_id)?.operation === 'capture').map((t) => t.request_id))].map((rid) => sent.get(rid));
    assert.ok(saved.length > 0);
    const gate = path.win32.join(home.scratch, 'gate-final');
    fs.mkdirSync(gate);
    fs.writeFileSync(path.win32.join(gate, 'go'), '');
    // Recalls only: a plan whose captures are the saved ones would store
    // them again; the recall of each word is what is asked.
    const launch = await launchRuntime({ home, role: 'job', args: [Buffer.from(JSON.stringify(saved.map((s) => s.word))).toString('base64')], source: `
import { createRequire } from 'node:module';
import { randomUUID } from 'node:crypto';
import { brokerRequest } from ${JSON.stringify(pathToFileURL(productFile('client.mjs')).href)};
const addon = createRequire(import.meta.url)(${JSON.stringify(addonPath.testbed)});
addon.initialize();
addon.finishStartup();
const out = {};
// A recall is asked again when it found no answer in its budget: what is
// counted lost is a text an answer lacks.
for (const word of JSON.parse(Buffer.from(process.argv[2], 'base64').toString())) {
  for (let attempt = 0; attempt < 4 && !Array.isArray(out[word]); attempt += 1) {
    try {
      const answer = JSON.parse((await brokerRequest(addon, { operation: 'recall', body: JSON.stringify({ word }), requestId: randomUUID() })).toString());
      out[word] = answer.memories.map((m) => m.text);
    } catch (e) { out[word] = e.message; }
  }
}
console.log(JSON.stringify(out));
` });
    await resident.end();
    const said = launch.stdout.trim().split(/\r?\n/).pop();
    assert.ok(said, `the recalls said nothing: ${launch.outcome} ${launch.reason} ${launch.stderr}`);
    const found = JSON.parse(said);
    const lost = saved.filter((s) => !Array.isArray(found[s.word]) || !found[s.word].includes(s.text));
    const twice = saved.filter((s) => Array.isArray(found[s.word]) && found[s.word].length > 1);
    figures.lost = lost.length;
    figures.duplicates = twice.length;
    assert.deepEqual(lost.map((s) => [s.word, found[s.word]]), [], 'every saved capture is recalled');
    assert.deepEqual(twice.map((s) => s.word), [], 'and found once');
    pids.add(launch.runtimePid);
    const left = [...pids].filter((pid) => pid && isAlive(pid));
    assert.deepEqual(left, [], 'no process of the home is left');
    const sorted = [...figures.restartMs].sort((a, b) => a - b);
    figures.restartMedianMs = sorted.length ? Math.round(sorted[Math.floor(sorted.length / 2)]) : null;
    figures.restartMaxMs = sorted.length ? Math.round(sorted.at(-1)) : null;
    figures.saved = saved.length;
  });
});
