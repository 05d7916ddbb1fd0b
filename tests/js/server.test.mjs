// Server works: bindServerWork, serverPhase, serverOutcome and
// ingressRemaining. The argument rules and the refusals that need no
// resident run in this runtime and in an entry runtime; the server works
// themselves run in a published resident runtime further down.
import { describe, it, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { createHash } from 'node:crypto';
import fs from 'node:fs';
import path from 'node:path';
import { fileURLToPath, pathToFileURL } from 'node:url';
import { addonPath, loadAddon, thrownMessage } from './lib/addon.mjs';
import { installHome, launchRuntime, removeHome } from './lib/home.mjs';

for (const flavour of ['testbed', 'release']) {
  const addon = loadAddon(flavour);

  describe(`server entries without custody (${flavour})`, () => {
    it('count their arguments first', () => {
      const table = [
        [() => addon.bindServerWork('1'), 'arguments_invalid'],
        [() => addon.bindServerWork('1', 'x', 'y'), 'arguments_invalid'],
        [() => addon.serverPhase('1', 'admitted'), 'arguments_invalid'],
        [() => addon.serverPhase('1', 'admitted', 'none', 'x'), 'arguments_invalid'],
        [() => addon.serverOutcome(), 'arguments_invalid'],
        [() => addon.serverOutcome('1', '2'), 'arguments_invalid'],
        [() => addon.ingressRemaining(), 'arguments_invalid'],
        [() => addon.ingressRemaining('1', '2'), 'arguments_invalid'],
      ];
      for (const [call, reason] of table) assert.equal(thrownMessage(call), reason, String(call));
    });

    it('find no work to serve', () => {
      const table = [
        [() => addon.bindServerWork('1', 'x'), 'profile_work_required'],
        [() => addon.serverPhase('7', 'admitted', 'none'), 'profile_work_required'],
        [() => addon.serverOutcome('7'), 'profile_work_required'],
        [() => addon.serverOutcome('07'), 'profile_integer'],
        [() => addon.serverOutcome(7), 'profile_string'],
      ];
      for (const [call, reason] of table) assert.equal(thrownMessage(call), reason, String(call));
    });

    it('ingressRemaining reads a client deadline that is past or near', () => {
      // A tick of 1 has long passed on any running machine; the largest one
      // lies far more than a second ahead.
      const table = [
        ['1', 0],
        ['00000000000000000001', 0],
        ['0', 'broker_native_protocol_refused'],
        ['-1', 'broker_native_protocol_refused'],
        [' 1', 'broker_native_protocol_refused'],
        ['1.5', 'broker_native_protocol_refused'],
        ['000000000000000000001', 'broker_native_protocol_refused'],
        ['18446744073709551615', 'broker_native_protocol_refused'],
        ['18446744073709551616', 'broker_native_protocol_refused'],
        [1, 'profile_string'],
        ['', 'profile_string'],
      ];
      for (const [deadline, expected] of table) {
        if (typeof expected === 'number') {
          assert.equal(addon.ingressRemaining(deadline), expected, deadline);
        } else {
          assert.equal(thrownMessage(() => addon.ingressRemaining(deadline)), expected, deadline);
        }
      }
    });
  });
}

// What a server work knows before it is bound, written out from the rules.
const unboundOutcome = (work, operation) => ({
  role: 'server', owner_work: work, server_work: work, operation, correlation: '', sequence: 0,
  last_verified_phase: 'received', terminal_sealed: false, counts_complete: false,
  account_send_count: null, memory_send_count: null, server_reason: null, logging_status: 'unknown',
});

describe('server works in an entry runtime', () => {
  let home;
  let seen;
  before(async () => {
    home = await installHome();
    const launch = await launchRuntime({ home, role: 'entry', source: `
import { createRequire } from 'node:module';
const addon = createRequire(import.meta.url)(${JSON.stringify(addonPath.testbed)});
const out = {};
const attempt = (fn) => { try { return { value: fn() }; } catch (e) { return { error: e.message }; } };
addon.initialize();
addon.finishStartup();
const server = await addon.beginWork(() => 1000, '-', 'server', 'recall');
const client = await addon.beginWork(() => 1000, '-', 'client', 'recall');
out.server = server;
out.outcome = attempt(() => addon.serverOutcome(server));
out.bind = attempt(() => addon.bindServerWork(server, 'x'));
out.phase = attempt(() => addon.serverPhase(server, 'admitted', 'none'));
out.terminal = attempt(() => addon.serverPhase(server, 'terminal', 'none'));
out.client = {
  outcome: attempt(() => addon.serverOutcome(client)),
  bind: attempt(() => addon.bindServerWork(client, 'x')),
  phase: attempt(() => addon.serverPhase(client, 'terminal', 'none')),
};
out.after = attempt(() => addon.serverOutcome(server));
await addon.endWork(server);
await addon.endWork(client);
console.log(JSON.stringify(out));
` });
    seen = JSON.parse(launch.stdout.trim().split(/\r?\n/).pop());
  });
  after(() => removeHome(home));

  it('reports an unbound server work as received', () => {
    assert.deepEqual(seen.outcome.value, unboundOutcome(seen.server, 'recall'));
  });

  it('binds only in a published resident and takes no phase unbound', () => {
    assert.deepEqual(seen.bind, { error: 'profile_resident_required' });
    assert.deepEqual(seen.phase, { error: 'broker_native_protocol_refused' });
    assert.deepEqual(seen.terminal, { error: 'broker_native_protocol_refused' });
    assert.deepEqual(seen.after.value, unboundOutcome(seen.server, 'recall'));
  });

  it('refuses a client work on every server entry', () => {
    assert.deepEqual(seen.client, {
      outcome: { error: 'profile_evidence_role' },
      bind: { error: 'profile_evidence_role' },
      phase: { error: 'profile_evidence_role' },
    });
  });
});

// ---------------------------------------------------------------------------
// Server works in a published resident runtime. The runtime starts as the
// product's resident does (product/resident.mjs), then drives server works
// itself with request lines written here; the audit files and the log are
// read after it ended.

const residentUrl = pathToFileURL(fileURLToPath(new URL('../../product/resident.mjs', import.meta.url))).href;
const TOKEN = 'e'.repeat(64);
const REQUEST_ID = '0123abcd-0123-4567-89ab-0123456789ab';
const INSTANCE = '0123456789abcdef0123456789abcdef';
const FAR = '18446744073709551615';
// The seven fields of a client's request line; `n` keeps lines apart.
const lineFields = (generation, n, change = {}) => ({
  token: TOKEN, request: REQUEST_ID, work: String(n), generation, operation: 'recall',
  instance: INSTANCE, deadline: FAR, ...change,
});
const lineOf = (fields) => Object.values(fields).join('\t');

function residentScript(body) {
  return `import { createRequire } from 'node:module';
import { startResident } from ${JSON.stringify(residentUrl)};
const addon = createRequire(import.meta.url)(${JSON.stringify(addonPath.testbed)});
const out = {};
const attempt = (fn) => { try { return { value: fn() }; } catch (e) { return { error: e.message }; } };
const lineOf = (fields) => Object.values(fields).join('\\t');
const lineFields = ${lineFields.toString()};
const TOKEN = ${JSON.stringify(TOKEN)}, REQUEST_ID = ${JSON.stringify(REQUEST_ID)};
const INSTANCE = ${JSON.stringify(INSTANCE)}, FAR = ${JSON.stringify(FAR)};
let host;
try {
  const started = await startResident(addon);
  host = started.host;
  const generation = addon.initialize().generation;
  out.generation = generation;
  const server = () => addon.beginWork(() => 1000, '-', 'server', 'recall');
${body}
} catch (e) { out.crashed = e.stack; }
host?.close();
try { addon.endResident(); } catch (e) { out.endFailed = e.message; }
console.log(JSON.stringify(out));
process.exit();
`;
}

async function runResident(home, body) {
  const launch = await launchRuntime({ home, role: 'resident', source: residentScript(body) });
  const line = launch.stdout.trim().split(/\r?\n/).pop();
  assert.ok(line, `no output; ${launch.launcherOutput} ${launch.reason} stderr: ${launch.stderr}`);
  const seen = JSON.parse(line);
  assert.equal(seen.crashed, undefined, seen.crashed);
  assert.equal(seen.endFailed, undefined);
  return seen;
}

const sha256 = (text) => createHash('sha256').update(text).digest('hex');
const auditFile = (home, line) =>
  path.win32.join(home.home, 'state', 'broker', `phase-${sha256(line)}.bin`);
// The audit file's 4096 bytes as the format gives them: the line, then zeros.
function auditImage(line, work, sequence, phase, reason, certainty, complete, account, memory) {
  const text = ['NUVRA_AUDIT_V3', 'server', line, work, sequence, phase, reason, certainty, '1',
    complete, account, memory].join('\t') + '\n';
  return Buffer.concat([Buffer.from(text, 'latin1'), Buffer.alloc(4096 - text.length)]);
}
// The outcome object a sealed work reports, from the rules.
const sealedOutcome = (work, line, sequence, phase, reason, account, memory) => ({
  role: 'server', owner_work: work, server_work: work, operation: 'recall', correlation: line,
  sequence, last_verified_phase: phase, terminal_sealed: true,
  counts_complete: account !== null, account_send_count: account, memory_send_count: memory,
  server_reason: reason, logging_status: 'recorded',
});

describe('server works in a published resident', () => {
  let home;
  let seen;
  before(async () => {
    home = await installHome();
    seen = await runResident(home, `
// Phase runs: each on a fresh work bound to its own line.
const runs = {
  fullRun: ['admitted', 'account_pending', 'account'],
  refusedQueue: [],
  pendingAtTerminal: ['admitted', 'account_pending'],
  memoryThenAccount: ['admitted', 'memory_pending', 'memory', 'account_pending', 'account'],
};
const reasons = { fullRun: 'none', refusedQueue: 'broker_deadline_refused',
  pendingAtTerminal: 'broker_outcome_unknown', memoryThenAccount: 'none' };
out.runs = {};
let n = 1;
for (const [name, phases] of Object.entries(runs)) {
  const work = await server();
  const line = lineOf(lineFields(generation, n++));
  const run = { work, line, bind: attempt(() => addon.bindServerWork(work, line)), phases: [] };
  run.bound = addon.serverOutcome(work);
  for (const phase of phases) run.phases.push(attempt(() => addon.serverPhase(work, phase, 'none')));
  run.terminal = attempt(() => addon.serverPhase(work, 'terminal', reasons[name]));
  run.again = attempt(() => addon.serverPhase(work, 'terminal', 'none'));
  run.rebind = attempt(() => addon.bindServerWork(work, line));
  run.outcome = addon.serverOutcome(work);
  await addon.endWork(work);
  out.runs[name] = run;
}

// Refused phases, each after the prefix on a fresh bound work; the outcome
// afterwards shows the refusal changed nothing.
const refusals = {
  ninthAccountPending: [[...Array(8).fill('account_pending')], 'account_pending', 'none'],
  ninthMemoryAfterSends: [[...Array(4).fill('memory_pending'), 'memory', 'memory', 'memory_pending',
    'memory_pending', 'memory_pending', 'memory_pending'], 'memory_pending', 'none'],
  accountWithoutPending: [[], 'account', 'none'],
  memoryWithoutPending: [['account_pending'], 'memory', 'none'],
  admittedTwice: [[], 'admitted', 'none'],
  pendingBeforeAdmitted: null,
  reasonOnAPhase: [[], 'account_pending', 'broker_failed'],
  unknownPhase: [[], 'received', 'none'],
  unknownReason: [[], 'terminal', 'profile_work_ended'],
};
out.refusals = {};
for (const [name, steps] of Object.entries(refusals)) {
  const work = await server();
  addon.bindServerWork(work, lineOf(lineFields(generation, n++)));
  const [prefix, phase, reason] = steps ?? [null, 'account_pending', 'none'];
  if (prefix) {
    addon.serverPhase(work, 'admitted', 'none');
    for (const p of prefix) addon.serverPhase(work, p, 'none');
  }
  const before = JSON.stringify(addon.serverOutcome(work));
  out.refusals[name] = { result: attempt(() => addon.serverPhase(work, phase, reason)),
    unchanged: JSON.stringify(addon.serverOutcome(work)) === before };
  await addon.endWork(work);
}

// Binding: every field of the line, and the resident required.
const bindings = {
  good: {},
  otherGeneration: { generation: generation + '0' },
  otherOperation: { operation: 'capture' },
  deadlineBeforeTheWork: { deadline: '1' },
  upperToken: { token: 'E'.repeat(64) },
  shortInstance: { instance: INSTANCE.slice(1) },
  zeroWork: { work: '0' },
  requestIdWithoutDashes: { request: REQUEST_ID.replaceAll('-', 'x') },
  eighthField: { deadline: FAR + '\\textra' },
  nonAscii: { operation: 'recall\\u00e9' },
};
out.bindings = {};
for (const [name, change] of Object.entries(bindings)) {
  const work = await server();
  out.bindings[name] = attempt(() => addon.bindServerWork(work, lineOf(lineFields(generation, n++, change))));
  await addon.endWork(work);
}
{
  const work = await server();
  out.bindings.longLine = attempt(() => addon.bindServerWork(work, lineOf(lineFields(generation, n++)) + 'x'.repeat(1024)));
  out.bindings.ended = await (async () => { await addon.endWork(work); return attempt(() => addon.bindServerWork(work, lineOf(lineFields(generation, n++)))); })();
}

// A second work bound to a line already audited: its audit is not written.
{
  const line = out.runs.fullRun.line;
  const work = await server();
  addon.bindServerWork(work, line);
  addon.serverPhase(work, 'admitted', 'none');
  addon.serverPhase(work, 'terminal', 'none');
  out.sameLine = addon.serverOutcome(work);
  await addon.endWork(work);
}

// The server evidence a server work's end leaves in its terminal operation.
{
  const event = addon.newDiagnosticEvent('worker');
  const op = addon.newTerminalOperation('worker', event);
  const work = await addon.beginWork(() => 1000, event, 'server', 'recall');
  await addon.prepareTerminal(op, work, '-', '-', 'native_end');
  const line = lineOf(lineFields(generation, n++));
  addon.bindServerWork(work, line);
  for (const phase of ['admitted', 'account_pending', 'account']) addon.serverPhase(work, phase, 'none');
  addon.serverPhase(work, 'terminal', 'none');
  await addon.endWork(work);
  out.evidence = { work, line, commit: await addon.commitTerminal(op, true, 'saved', 'none', 'terminal') };
  addon.closeTerminalOperation(op);
  addon.closeDiagnosticEvent(event);
}
`);
  });
  after(() => removeHome(home));

  it('binds a work to a request line: sequence 1, still "received"', () => {
    const { fullRun } = seen.runs;
    assert.deepEqual(fullRun.bind, { value: 'bound' });
    assert.deepEqual(fullRun.bound, { ...unboundOutcome(fullRun.work, 'recall'),
      correlation: fullRun.line, sequence: 1 });
  });

  it('reports each run as the rules say, and seals it once', () => {
    const r = seen.runs;
    const table = [
      [r.fullRun, sealedOutcome(r.fullRun.work, r.fullRun.line, 5, 'terminal', 'none', 1, 0)],
      [r.refusedQueue, sealedOutcome(r.refusedQueue.work, r.refusedQueue.line, 2, 'refused_queue',
        'broker_deadline_refused', 0, 0)],
      [r.pendingAtTerminal, sealedOutcome(r.pendingAtTerminal.work, r.pendingAtTerminal.line, 4,
        'terminal', 'broker_outcome_unknown', null, null)],
      [r.memoryThenAccount, sealedOutcome(r.memoryThenAccount.work, r.memoryThenAccount.line, 7,
        'terminal', 'none', 1, 1)],
    ];
    for (const [run, expected] of table) {
      assert.ok(run.phases.every((p) => p.value === 'observed'), JSON.stringify(run.phases));
      assert.deepEqual(run.terminal, { value: 'observed' });
      assert.deepEqual(run.again, { error: 'broker_native_protocol_refused' });
      assert.deepEqual(run.rebind, { error: 'broker_native_protocol_refused' });
      assert.deepEqual(run.outcome, expected);
    }
  });

  it('writes each sealed phase into an audit file of exactly 4096 bytes', () => {
    const r = seen.runs;
    const table = [
      [r.fullRun, '5', 'terminal', 'none', 'possible', '1', '1', '0'],
      [r.refusedQueue, '2', 'refused_queue', 'broker_deadline_refused', 'none', '1', '0', '0'],
      [r.pendingAtTerminal, '4', 'terminal', 'broker_outcome_unknown', 'possible', '0', 'null', 'null'],
      [r.memoryThenAccount, '7', 'terminal', 'none', 'possible', '1', '1', '1'],
    ];
    for (const [run, ...fields] of table) {
      const bytes = fs.readFileSync(auditFile(home, run.line));
      assert.equal(bytes.length, 4096);
      assert.deepEqual(bytes, auditImage(run.line, run.work, ...fields));
    }
  });

  it('leaves an audit file that exists untouched', () => {
    const { fullRun } = seen.runs;
    assert.equal(seen.sameLine.logging_status, 'unavailable');
    assert.equal(seen.sameLine.last_verified_phase, 'terminal');
    assert.deepEqual(fs.readFileSync(auditFile(home, fullRun.line)),
      auditImage(fullRun.line, fullRun.work, '5', 'terminal', 'none', 'possible', '1', '1', '0'));
    // Every audit is written under a temporary name first; the one that
    // found its name taken leaves no such file behind.
    const names = fs.readdirSync(path.win32.join(home.home, 'state', 'broker'));
    assert.deepEqual(names.filter((name) => name.startsWith('phase-') &&
      !/^phase-[0-9a-f]{64}\.bin$/.test(name)), []);
  });

  it('refuses phases out of order or past their bounds, changing nothing', () => {
    const expected = {
      ninthAccountPending: 'broker_native_protocol_refused',
      ninthMemoryAfterSends: 'broker_native_protocol_refused',
      accountWithoutPending: 'broker_native_protocol_refused',
      memoryWithoutPending: 'broker_native_protocol_refused',
      admittedTwice: 'broker_native_protocol_refused',
      pendingBeforeAdmitted: 'broker_native_protocol_refused',
      reasonOnAPhase: 'broker_native_protocol_refused',
      unknownPhase: 'broker_native_protocol_refused',
      unknownReason: 'broker_native_protocol_refused',
    };
    for (const [name, reason] of Object.entries(expected)) {
      assert.deepEqual(seen.refusals[name], { result: { error: reason }, unchanged: true }, name);
    }
  });

  it('checks every field of the request line it binds', () => {
    assert.deepEqual(seen.bindings, {
      good: { value: 'bound' },
      otherGeneration: { error: 'broker_native_protocol_refused' },
      otherOperation: { error: 'profile_evidence_role' },
      deadlineBeforeTheWork: { error: 'broker_native_protocol_refused' },
      upperToken: { error: 'broker_native_protocol_refused' },
      shortInstance: { error: 'broker_native_protocol_refused' },
      zeroWork: { error: 'broker_native_protocol_refused' },
      requestIdWithoutDashes: { error: 'broker_native_protocol_refused' },
      eighthField: { error: 'broker_native_protocol_refused' },
      nonAscii: { error: 'broker_native_protocol_refused' },
      longLine: { error: 'broker_native_protocol_refused' },
      ended: { error: 'profile_work_required' },
    });
  });

  it('puts the server evidence into the terminal record of the work', () => {
    const { work, line, commit } = seen.evidence;
    assert.equal(commit, true);
    const today = new Date().toISOString().slice(0, 10).replaceAll('-', '');
    const log = fs.readFileSync(path.win32.join(home.home, 'logs', `nuvra-${today}-0.jsonl`), 'utf8');
    const terminal = log.split('\n').find((l) => l.includes('"event":"operation_result"'));
    assert.ok(terminal, log);
    const server = '{"role":"server","source":"native_server_owner",'
      + `"owner_work":"${work}","server_work":"${work}","correlation_hash":"${sha256(line)}",`
      + '"sequence":5,"last_verified_phase":"terminal","terminal_sealed":true,"server_reason":"none",'
      + '"counts_complete":true,"account_send_count":1,"memory_send_count":0,'
      + '"effect_certainty":"unknown","logging_status":"recorded"}';
    assert.ok(terminal.endsWith(`,"server":${server}}`), terminal);
  });
});
