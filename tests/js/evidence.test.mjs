// The client side's evidence in launched runtimes: a client operation runs
// from its budget to its closed terminal operation against the testbed
// broker's exchange peer, and the day's log must then hold exactly its
// checkpoint and its terminal record, whose client and server evidence are
// compared with lines written out here from the evidence rules. Also what
// exchangeOutcome and closeClientDispatch answer, and the end of a work whose
// terminal frame carried a reason outside the terminal reasons.
import { describe, it, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { createHash } from 'node:crypto';
import { installHome, installerPath, removeHome, runJobScript } from './lib/home.mjs';
import { peerScript } from './lib/peer_script.mjs';
import { expectedCheckpoint, expectedTerminal, recordsOf, stampPattern }
  from './lib/terminal_records.mjs';

const REQUEST_ID = '0123abcd-0123-4567-89ab-0123456789ab';
const ATTEMPT_ID = '0123456789abcdef-'.repeat(4).slice(0, 64);
const sha256 = (text) => createHash('sha256').update(text).digest('hex');

// What each case does in the runtime: the work's operation, the peer fault
// the exchange talks to (none: no exchange), whether the dispatch is closed
// before the exchange or after it, and the commit's arguments.
const CASES = [
  { name: 'dispatch closed before any byte', operation: 'capture', peer: 'honest',
    close: 'before', ids: true, commit: [false, 'failed', 'profile_startup_timeout', 'exchange_prepare'] },
  { name: 'a capture whose terminal frame counts no memory send', operation: 'capture',
    peer: 'honest', close: 'after', ids: false, commit: [true, 'saved', 'none', 'terminal'] },
  { name: 'a capture whose terminal frame counts a memory send', operation: 'capture',
    peer: 'terminal-memory', close: 'after', ids: true, commit: [true, 'saved', 'none', 'terminal'] },
  { name: 'a capture broken after "started"', operation: 'capture', peer: 'close-after-started',
    close: 'after', ids: true,
    commit: [false, 'capture_unconfirmed', 'broker_native_transport_failed', 'terminal_observation'] },
  { name: 'a recall whose answer broke off', operation: 'recall', peer: 'close-mid-frame',
    close: 'after', ids: true,
    commit: [false, 'recall_unavailable', 'broker_native_transport_failed', 'terminal_observation'] },
  { name: 'a hello refused on arrival', operation: 'hello', peer: 'refused-arrival',
    close: 'after', ids: true, commit: [false, 'refused', 'broker_deadline_refused', 'admission'] },
  { name: 'a version 1 capture', operation: 'capture', peer: 'honest', version1: true,
    close: 'after', ids: true, commit: [true, 'saved', 'none', 'terminal'] },
  { name: 'a capture never sent, its dispatch left open', operation: 'capture', peer: null,
    close: 'never', ids: false, commit: [false, 'failed', 'broker_unavailable', 'exchange_prepare'] },
  { name: 'a success claimed with a failure reason', operation: 'recall', peer: 'honest',
    close: 'after', ids: false, commit: [true, 'recalled', 'broker_native_exited', 'terminal'] },
  { name: 'a log file that gained a second link', operation: 'recall', peer: 'honest',
    close: 'after', ids: true, tamper: 'link', commit: [true, 'recalled', 'none', 'terminal'] },
  { name: 'a terminal frame whose reason is no terminal reason', operation: 'capture',
    peer: 'terminal-unknown-reason', close: 'after', ids: true,
    commit: [false, 'failed', 'broker_native_exited', 'terminal'] },
  { name: 'a log file renamed away and replaced by a copy', operation: 'recall', peer: 'honest',
    close: 'after', ids: true, tamper: 'replace', commit: [true, 'recalled', 'none', 'terminal'] },
];

const END = '"cleanup_confirmed":true';
// What each case must leave. `w` is the work id, `h` the SHA-256 of the
// request line, `line` the request line, `instance` the peer's instance.
const EXPECTED = {
  'dispatch closed before any byte': {
    exchange: { error: 'profile_startup_timeout' },
    outcome: ({ w }) => `{"role":"client","owner_work":"${w}","server_work":null,"terminal_observed":false,"no_dispatch_proven":true,"dispatch_submitted":false,"last_verified_phase":"never_sent","operation":"","terminal_reason":null,"server_reason":null,"sequence":0,"account_send_count":null,"memory_send_count":null,"correlation":""}`,
    client: ({ w }) => `{"role":"client","owner_work":"${w}","correlation_hash":null,"last_verified_phase":"never_sent","dispatch_submitted":false,"no_dispatch_proven":true,"terminal_observed":null,"terminal_reason":null,${END},"effect_certainty":"none","retry_may_duplicate":false,"saved":null,"delivered":null,"dropped":null}`,
    server: () => 'null',
  },
  'a capture whose terminal frame counts no memory send': {
    exchange: { text: '{"ok":true}' },
    outcome: ({ w, line }) => `{"role":"client","owner_work":"${w}","server_work":"7","terminal_observed":true,"no_dispatch_proven":null,"dispatch_submitted":true,"last_verified_phase":"terminal","operation":"capture","terminal_reason":"none","server_reason":"none","sequence":4,"account_send_count":1,"memory_send_count":0,"correlation":${JSON.stringify(line)}}`,
    client: ({ w, h }) => `{"role":"client","owner_work":"${w}","correlation_hash":"${h}","last_verified_phase":"terminal","dispatch_submitted":true,"no_dispatch_proven":null,"terminal_observed":true,"terminal_reason":"none",${END},"effect_certainty":"possible","retry_may_duplicate":false,"saved":null,"delivered":null,"dropped":null}`,
    server: ({ h }) => `{"role":"server","source":"authenticated_terminal_frame","owner_work":null,"server_work":"7","correlation_hash":"${h}","sequence":4,"last_verified_phase":"terminal","terminal_sealed":null,"server_reason":"none","counts_complete":true,"account_send_count":1,"memory_send_count":0,"effect_certainty":"possible","logging_status":"unknown"}`,
  },
  'a capture whose terminal frame counts a memory send': {
    exchange: { text: '{"ok":true}' },
    client: ({ w, h }) => `{"role":"client","owner_work":"${w}","correlation_hash":"${h}","last_verified_phase":"terminal","dispatch_submitted":true,"no_dispatch_proven":null,"terminal_observed":true,"terminal_reason":"none",${END},"effect_certainty":"possible","retry_may_duplicate":true,"saved":null,"delivered":null,"dropped":null}`,
    server: ({ h }) => `{"role":"server","source":"authenticated_terminal_frame","owner_work":null,"server_work":"7","correlation_hash":"${h}","sequence":4,"last_verified_phase":"terminal","terminal_sealed":null,"server_reason":"none","counts_complete":true,"account_send_count":1,"memory_send_count":1,"effect_certainty":"possible","logging_status":"unknown"}`,
  },
  'a capture broken after "started"': {
    exchange: { error: 'broker_native_transport_failed' },
    client: ({ w, h }) => `{"role":"client","owner_work":"${w}","correlation_hash":"${h}","last_verified_phase":"started","dispatch_submitted":true,"no_dispatch_proven":null,"terminal_observed":null,"terminal_reason":null,${END},"effect_certainty":"possible","retry_may_duplicate":true,"saved":null,"delivered":null,"dropped":null}`,
    server: () => 'null',
  },
  'a recall whose answer broke off': {
    exchange: { error: 'broker_native_transport_failed' },
    outcome: ({ w, line }) => `{"role":"client","owner_work":"${w}","server_work":null,"terminal_observed":false,"no_dispatch_proven":null,"dispatch_submitted":true,"last_verified_phase":"sent","operation":"recall","terminal_reason":null,"server_reason":null,"sequence":0,"account_send_count":null,"memory_send_count":null,"correlation":${JSON.stringify(line)}}`,
    client: ({ w, h }) => `{"role":"client","owner_work":"${w}","correlation_hash":"${h}","last_verified_phase":"sent","dispatch_submitted":true,"no_dispatch_proven":null,"terminal_observed":null,"terminal_reason":null,${END},"effect_certainty":"possible","retry_may_duplicate":false,"saved":null,"delivered":null,"dropped":null}`,
    server: () => 'null',
  },
  'a hello refused on arrival': {
    exchange: ({ instance }) => ({ text: failureBody(instance, 'broker_deadline_refused', 'hello') }),
    outcome: ({ w, line }) => `{"role":"client","owner_work":"${w}","server_work":null,"terminal_observed":true,"no_dispatch_proven":null,"dispatch_submitted":true,"last_verified_phase":"refused_arrival","operation":"hello","terminal_reason":"broker_deadline_refused","server_reason":"broker_deadline_refused","sequence":1,"account_send_count":0,"memory_send_count":0,"correlation":${JSON.stringify(line)}}`,
    client: ({ w, h }) => `{"role":"client","owner_work":"${w}","correlation_hash":"${h}","last_verified_phase":"refused_arrival","dispatch_submitted":true,"no_dispatch_proven":null,"terminal_observed":true,"terminal_reason":"broker_deadline_refused",${END},"effect_certainty":"possible","retry_may_duplicate":false,"saved":null,"delivered":null,"dropped":null}`,
    server: ({ h }) => `{"role":"server","source":"authenticated_terminal_frame","owner_work":null,"server_work":null,"correlation_hash":"${h}","sequence":1,"last_verified_phase":"refused_arrival","terminal_sealed":null,"server_reason":"broker_deadline_refused","counts_complete":true,"account_send_count":0,"memory_send_count":0,"effect_certainty":"none","logging_status":"unknown"}`,
  },
  // Version 1 binds no request line and moves no phase, but its request was
  // written.
  'a version 1 capture': {
    exchange: { text: 'answer:remember this' },
    client: ({ w }) => `{"role":"client","owner_work":"${w}","correlation_hash":null,"last_verified_phase":"never_sent","dispatch_submitted":true,"no_dispatch_proven":null,"terminal_observed":null,"terminal_reason":null,${END},"effect_certainty":"possible","retry_may_duplicate":true,"saved":null,"delivered":null,"dropped":null}`,
    server: () => 'null',
  },
  'a capture never sent, its dispatch left open': {
    exchange: undefined,
    outcome: ({ w }) => `{"role":"client","owner_work":"${w}","server_work":null,"terminal_observed":false,"no_dispatch_proven":null,"dispatch_submitted":false,"last_verified_phase":"never_sent","operation":"","terminal_reason":null,"server_reason":null,"sequence":0,"account_send_count":null,"memory_send_count":null,"correlation":""}`,
    client: ({ w }) => `{"role":"client","owner_work":"${w}","correlation_hash":null,"last_verified_phase":"never_sent","dispatch_submitted":null,"no_dispatch_proven":null,"terminal_observed":null,"terminal_reason":null,${END},"effect_certainty":"unknown","retry_may_duplicate":true,"saved":null,"delivered":null,"dropped":null}`,
    server: () => 'null',
  },
  'a success claimed with a failure reason': {
    exchange: { text: '{"ok":true}' },
    end: { value: true },
    commit: { error: 'terminal_invalid' },
  },
  'a log file that gained a second link': {
    exchange: { text: '{"ok":true}' },
    end: { value: true },
    commit: { error: 'terminal_unavailable' },
  },
  'a terminal frame whose reason is no terminal reason': {
    exchange: ({ instance }) => ({ text: failureBody(instance, 'credential_missing', 'capture') }),
    end: { error: 'terminal_invalid' },
    commit: { error: 'terminal_end_required' },
  },
  'a log file renamed away and replaced by a copy': {
    exchange: { text: '{"ok":true}' },
    end: { value: true },
    commit: { error: 'terminal_unavailable' },
  },
};

// The failure object of a final frame, written out by hand.
function failureBody(instance, reason, operation) {
  return `{"broker_instance":"${instance}","error_code":"${reason}","failure_reason":"${reason}",`
    + `"ok":false,"operation":"${operation}","request_id":"${REQUEST_ID}",`
    + '"schema_version":"nuvra.windows-memory-broker.v1"}';
}

function script(body) {
  return peerScript(`const day = new Date().toISOString().slice(0, 10).replaceAll('-', '');
const logFile = profile.home + '\\\\logs\\\\nuvra-' + day + '-0.jsonl';
const readLog = (file = logFile) => (fs.existsSync(file) ? fs.readFileSync(file, 'latin1') : '');
// Between checkpoint and commit: the day's file gains a second link, or is
// renamed away and replaced by a copy (its open handles share it for delete,
// as a rotation must move it).
const tamper = (kind) => {
  if (kind === 'link') {
    fs.linkSync(logFile, logFile + '.second');
    return 'linked';
  }
  const result = {};
  try { fs.renameSync(logFile, logFile + '.old'); result.away = 'renamed'; } catch { result.away = 'refused'; }
  try {
    fs.writeFileSync(logFile + '.new', readLog(), 'latin1');
    fs.renameSync(logFile + '.new', logFile);
    result.over = 'replaced';
  } catch { result.over = 'refused'; }
  fs.rmSync(logFile + '.new', { force: true });
  return result;
};
const requestId = ${JSON.stringify(REQUEST_ID)};
const attemptId = ${JSON.stringify(ATTEMPT_ID)};
const show = (r) => (r.value !== undefined && Buffer.isBuffer(r.value) ? { text: r.value.toString('latin1') } : r);
// A warm budget needs a live broker published for this home, as the host
// would publish it.
const [installer, sessionId, deviceId, consumerId, homeKey] = process.argv.slice(2);
const sha = (text) => createHash('sha256').update(text).digest('hex');
const J = JSON.stringify;
const publishLiveBroker = async () => {
  const broker = await startPeer('honest');
  const parent = await startPeer('honest');
  const installation = sha('{"canonical_home_sha256":' + J(homeKey) + ',"consumer_id":' + J(consumerId) +
    ',"device_id":' + J(deviceId) + ',"owner_sid_hash":' + J(broker.owner) +
    ',"schema_version":"nuvra.windows-memory-broker.v1","session_id":' + J(sessionId) + '}');
  const binding = sha('{"authentication_id_hash":' + J(broker.authentication) + ',"installation_binding":' +
    J(installation) + ',"schema_version":"nuvra.windows-memory-broker.v1","windows_session_id":' + broker.session + '}');
  const record = JSON.stringify({
    schema_version: 'nuvra.windows-memory-broker-endpoint.v1', protocol_version: 'nuvra.windows-memory-broker.v1',
    broker_binding: binding, broker_instance: broker.instance, owner_sid_hash: broker.owner,
    pipe_name: '\\\\\\\\.\\\\pipe\\\\nuvra-memory-v1-' + binding.slice(0, 48),
    started_at: '2026-01-02T03:04:05.006Z', published_at: '2026-01-02T03:04:05.007Z', broker_scope: 'machine',
    pid: broker.pid, process_creation_filetime: broker.creation, image_path_sha256: broker.image,
    authentication_id_hash: broker.authentication, windows_session_id: broker.session,
    installation_root_sha256: homeKey, parent_pid: parent.pid,
    parent_process_creation_filetime: parent.creation, parent_image_path_sha256: parent.image });
  const file = profile.home + '\\\\state\\\\broker\\\\endpoint.json';
  fs.mkdirSync(profile.home + '\\\\state\\\\broker', { recursive: true });
  const source = profile.home + '\\\\..\\\\endpoint-source.json';
  fs.writeFileSync(source, record);
  const done = spawnSync(installer, ['--write-record', file, '--from', source], { windowsHide: true });
  if (done.status !== 0) throw new Error('write-record exited with ' + done.status);
};`, body);
}

const runScript = (home, body) => runJobScript(home, script(body),
  { args: [installerPath(), 'session-1', 'device-1', 'consumer-1', home.homeKey] });

describe('a client operation from its budget to its terminal record', () => {
  let home;
  let seen;
  before(async () => {
    home = await installHome({ sessionId: 'session-1', deviceId: 'device-1', consumerId: 'consumer-1' });
    seen = await runScript(home, `
await publishLiveBroker();
const cases = ${JSON.stringify(CASES)};
const peer = {};
for (const c of cases) if (c.peer && !peer[c.peer]) peer[c.peer] = await startPeer(c.peer);
out.cases = {};
for (const c of cases) {
  const r = {};
  const event = addon.newDiagnosticEvent('worker');
  const op = addon.newTerminalOperation('worker', event);
  const budget = addon.prepareBrokerBudget(c.operation);
  r.cold = budget.cold;
  const work = await addon.beginWork(() => 1000, event, 'client', c.operation, budget.token);
  r.work = work;
  r.instance = c.peer ? peer[c.peer].instance : null;
  r.prepared = await settle(() => addon.prepareTerminal(op, work, c.ids ? attemptId : '-',
    c.ids ? requestId : '-', 'exchange_prepare'));
  if (c.close === 'before') r.closed = attempt(() => addon.closeClientDispatch(work));
  if (c.peer) {
    const call = c.version1 ? addon.exchange : addon.exchangePhase;
    r.exchange = show(await settle(() => call(work, target, descriptor(peer[c.peer]),
      Buffer.from('remember this'), c.operation, requestId)));
  }
  r.outcome = attempt(() => addon.exchangeOutcome(work));
  if (c.close === 'after') r.closed = attempt(() => addon.closeClientDispatch(work));
  r.end = await settle(() => addon.endWork(work));
  r.outcomeAfterEnd = attempt(() => addon.exchangeOutcome(work));
  r.closeAfterEnd = attempt(() => addon.closeClientDispatch(work));
  if (c.tamper) r.tamper = tamper(c.tamper);
  const before = readLog();
  const movedBefore = readLog(logFile + '.old');
  r.commit = await settle(() => addon.commitTerminal(op, ...c.commit));
  r.logUnchanged = readLog() === before && readLog(logFile + '.old') === movedBefore;
  r.closedOperation = attempt(() => addon.closeTerminalOperation(op));
  // Once the operation let go of the file.
  if (c.tamper === 'link') fs.unlinkSync(logFile + '.second');
  // The copy is no file of the writer's (nor owner-only): the original goes back.
  if (c.tamper === 'replace') {
    fs.rmSync(logFile);
    fs.renameSync(logFile + '.old', logFile);
  }
  // The event is free again once the work's end has resolved, whatever it
  // resolved with.
  r.eventFree = await settle(() => addon.appendIngressDiagnostic(event, 'framing', 'started', 'none'));
  out.cases[c.name] = r;
}
`);
  });
  after(() => removeHome(home));

  // The facts only the run knows, with the request line's hash taken here.
  const factsOf = (r) => {
    const line = r.outcome.value?.correlation ?? '';
    return { w: r.work, line, h: line === '' ? '' : sha256(line), instance: r.instance };
  };

  it('runs every case inside a warm budget and closes every operation cleanly', () => {
    for (const c of CASES) {
      const r = seen.cases[c.name];
      assert.equal(r.cold, false, c.name);
      assert.deepEqual(r.prepared, { value: true }, c.name);
      if (c.close !== 'never') assert.deepEqual(r.closed, { value: 'closed' }, c.name);
      assert.deepEqual(r.closedOperation, { value: true }, c.name);
    }
  });

  it('binds the request line the exchange sent, and answers what the peer answered', () => {
    for (const c of CASES) {
      const r = seen.cases[c.name];
      const expected = EXPECTED[c.name];
      const exchange = typeof expected.exchange === 'function'
        ? expected.exchange(factsOf(r)) : expected.exchange;
      assert.deepEqual(r.exchange, exchange, c.name);
      const { line } = factsOf(r);
      if (c.version1 || c.close === 'before' || !c.peer) {
        assert.equal(line, '', c.name);
        continue;
      }
      // Request id, client work id, operation and the peer's instance.
      const fields = line.split('\t');
      assert.equal(fields.length, 7, c.name);
      assert.deepEqual([fields[1], fields[2], fields[4], fields[5]],
        [REQUEST_ID, r.work, c.operation, r.instance], c.name);
    }
  });

  it('reports the exchange outcome until the end resolved, and then refuses the work', () => {
    for (const c of CASES) {
      const r = seen.cases[c.name];
      const { outcome } = EXPECTED[c.name];
      if (outcome) assert.equal(JSON.stringify(r.outcome.value), outcome(factsOf(r)), c.name);
      assert.deepEqual(r.outcomeAfterEnd, { error: 'profile_work_required' }, c.name);
      assert.deepEqual(r.closeAfterEnd, { error: 'profile_work_required' }, c.name);
    }
  });

  it('leaves one checkpoint and one terminal record with both sides\' evidence', () => {
    CASES.forEach((c, nth) => {
      const r = seen.cases[c.name];
      const expected = EXPECTED[c.name];
      const { checkpoint, terminals, id, sameId } = recordsOf(home, 'worker', nth);
      const attempt = c.ids ? ATTEMPT_ID : '';
      const request = c.ids ? REQUEST_ID : '';
      const { utc } = JSON.parse(checkpoint);
      assert.match(utc, stampPattern);
      assert.equal(checkpoint, expectedCheckpoint({ id, attempt, request, operation: 'worker', utc }),
        c.name);
      if (expected.commit) return;
      assert.deepEqual(r.end, { value: true }, c.name);
      assert.deepEqual(r.commit, { value: true }, c.name);
      assert.equal(sameId.length, 2, c.name);
      assert.equal(terminals.length, 1, c.name);
      const written = JSON.parse(terminals[0]);
      const e = written.elapsed;
      assert.ok(e.original_budget_ms > 0 && e.original_budget_ms <= 1000, c.name);
      assert.equal(e.operation_ms, e.work_ms + e.end_ms + e.projection_ms, c.name);
      const [ok, state, reason, phase] = c.commit;
      const facts = factsOf(r);
      assert.equal(terminals[0], expectedTerminal({ id, attempt, request, operation: 'worker', phase,
        ok, state, reason, utc: written.utc, elapsed: e, client: expected.client(facts),
        server: expected.server(facts) }), c.name);
    });
  });

  it('writes nothing for a refused commit, nor for a work whose end was refused', () => {
    const refused = CASES.filter((c) => EXPECTED[c.name].commit);
    assert.equal(refused.length, 4);
    for (const c of refused) {
      const r = seen.cases[c.name];
      assert.deepEqual([r.end, r.commit], [EXPECTED[c.name].end, EXPECTED[c.name].commit], c.name);
      assert.equal(r.logUnchanged, true, c.name);
      assert.equal(recordsOf(home, 'worker', CASES.indexOf(c)).sameId.length, 1, c.name);
    }
  });

  it('writes no record into a day\'s file renamed away and replaced, and says so', () => {
    const c = CASES.find((x) => x.tamper === 'replace');
    // A rotation must be able to move a file an operation holds, so nothing
    // stops the move; the record then refuses to follow the file out of its day.
    assert.deepEqual(seen.cases[c.name].tamper, { away: 'renamed', over: 'replaced' });
    assert.deepEqual(seen.cases[c.name].commit, { error: 'terminal_unavailable' });
  });

  it('frees every work\'s event once its end resolved', () => {
    for (const c of CASES) assert.deepEqual(seen.cases[c.name].eventFree, { value: true }, c.name);
  });
});

describe('exchangeOutcome and closeClientDispatch', () => {
  let home;
  let seen;
  before(async () => {
    home = await installHome();
    seen = await runScript(home, `
const server = await addon.beginWork(() => 1000, '-', 'server', 'capture');
const local = await addon.beginWork(() => 1000);
const client = await addon.beginWork(() => 1000, '-', 'client', 'recall');
out.refusals = {
  outcomeServer: attempt(() => addon.exchangeOutcome(server)),
  closeServer: attempt(() => addon.closeClientDispatch(server)),
  outcomeLocal: attempt(() => addon.exchangeOutcome(local)),
  closeLocal: attempt(() => addon.closeClientDispatch(local)),
  outcomeNone: attempt(() => addon.exchangeOutcome()),
  closeTwo: attempt(() => addon.closeClientDispatch(client, client)),
  outcomeUnknown: attempt(() => addon.exchangeOutcome('999999')),
  closeUnknown: attempt(() => addon.closeClientDispatch('999999')),
};
out.closedTwice = [addon.closeClientDispatch(client), addon.closeClientDispatch(client)];
out.afterClose = await settle(() => addon.exchangePhase(client, target, 'x', Buffer.from('x'), 'recall', requestId));
for (const w of [server, local, client]) await addon.endWork(w);
// An unsent request is proven undispatched once the work's deadline passed.
const short = await addon.beginWork(() => 300, '-', 'client', 'status');
out.beforeDeadline = addon.exchangeOutcome(short).no_dispatch_proven;
const until = performance.now() + 400;
while (performance.now() < until);
out.afterDeadline = addon.exchangeOutcome(short).no_dispatch_proven;
out.shortEnd = await settle(() => addon.endWork(short));
`);
  });
  after(() => removeHome(home));

  it('refuses works of other roles, wrong argument counts and unknown works', () => {
    assert.deepEqual(seen.refusals, {
      outcomeServer: { error: 'profile_evidence_role' },
      closeServer: { error: 'profile_evidence_role' },
      outcomeLocal: { error: 'profile_evidence_role' },
      closeLocal: { error: 'profile_evidence_role' },
      outcomeNone: { error: 'arguments_invalid' },
      closeTwo: { error: 'arguments_invalid' },
      outcomeUnknown: { error: 'profile_work_required' },
      closeUnknown: { error: 'profile_work_required' },
    });
  });

  it('closes the dispatch for good: no exchange starts on the work afterwards', () => {
    assert.deepEqual(seen.closedTwice, ['closed', 'closed']);
    assert.deepEqual(seen.afterClose, { error: 'profile_startup_timeout' });
  });

  it('proves no dispatch for an unsent request once the deadline passed', () => {
    assert.equal(seen.beforeDeadline, null);
    assert.equal(seen.afterDeadline, true);
  });
});
