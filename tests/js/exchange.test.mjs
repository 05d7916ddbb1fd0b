// The client side of the broker exchange against a live pipe: a runtime
// started by the home's launcher starts the testbed broker's exchange peer
// (one per fault), builds the endpoint descriptor from the peer's real
// facts and runs exchange / exchangePhase against it. The cases read back
// what each call resolved or rejected with.
import { describe, it, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { createHash } from 'node:crypto';
import fs from 'node:fs';
import path from 'node:path';
import { installHome, installerPath, removeHome, runJobScript } from './lib/home.mjs';
import { peerScript } from './lib/peer_script.mjs';

const REQUEST_ID = '0123abcd-0123-4567-89ab-0123456789ab';

function script(body) {
  return peerScript(`const requestId = ${JSON.stringify(REQUEST_ID)};
const show = (r) => (r.value !== undefined ? { text: r.value.length > 4096 ? 'length ' + r.value.length : r.value.toString('latin1') } : r);
// One exchange on a fresh client work; the work ends afterwards.
const run = async ({ peer, version2 = false, change = {}, request = Buffer.from('hello broker'), id = requestId, event = '-' }) => {
  const work = await addon.beginWork(() => 1000, event, 'client', 'recall');
  const call = version2 ? addon.exchangePhase : addon.exchange;
  const result = await settle(() => call(work, target, descriptor(peer, change), request, 'recall', id));
  await settle(() => addon.endWork(work));
  return show(result);
};`, body);
}

const runScript = (home, body, args = []) => runJobScript(home, script(body), { args });

// The failure object of a final frame, written out by hand.
const failureBody = (instance, reason) =>
  `{"broker_instance":"${instance}","error_code":"${reason}","failure_reason":"${reason}",` +
  `"ok":false,"operation":"recall","request_id":"${REQUEST_ID}",` +
  '"schema_version":"nuvra.windows-memory-broker.v1"}';

describe('the client exchange against a live peer', () => {
  let home;
  let seen;
  before(async () => {
    home = await installHome();
    seen = await runScript(home, `
const faults = ['honest', 'wrong-ack', 'ack-2048', 'ack-2049', 'ack-control', 'length-1', 'length-2',
  'length-max', 'length-over', 'frame-length-1', 'started-flat', 'admitted-late', 'wrong-echo',
  'frames-33', 'refused-arrival', 'refused-arrival-body', 'stall', 'close-mid-frame', 'busy'];
const peer = {};
for (const fault of faults) peer[fault] = await startPeer(fault);
out.instance = peer['refused-arrival'].instance;
out.v1 = {};
for (const fault of ['honest', 'wrong-ack', 'ack-2048', 'ack-2049', 'ack-control', 'length-1',
  'length-2', 'length-max', 'length-over', 'stall', 'close-mid-frame', 'busy']) {
  out.v1[fault] = await run({ peer: peer[fault], change: fault === 'stall' || fault === 'busy' ? { timeout: '200' } : {} });
}
out.v2 = {};
for (const fault of ['honest', 'wrong-ack', 'frame-length-1', 'started-flat', 'admitted-late',
  'wrong-echo', 'frames-33', 'refused-arrival', 'refused-arrival-body', 'stall', 'close-mid-frame']) {
  out.v2[fault] = await run({ peer: peer[fault], version2: true, change: fault === 'stall' ? { timeout: '200' } : {} });
}
const honest = peer.honest;
out.descriptor = {
  otherPid: await run({ peer: honest, change: { pid: String(process.pid) } }),
  otherCreation: await run({ peer: honest, change: { creation: String(BigInt(honest.creation) + 1n) } }),
  otherImage: await run({ peer: honest, change: { image: 'a'.repeat(64) } }),
  otherOwner: await run({ peer: honest, change: { owner: 'b'.repeat(64) } }),
  otherInstance: await run({ peer: honest, change: { instance: 'c'.repeat(32) } }),
  noPipe: await run({ peer: honest, change: { pipe: 'nuvra-memory-v1-' + 'd'.repeat(48) } }),
  twelveFields: await run({ peer: honest, change: { end: 'END\\tEXTRA' } }),
  oneByte: await run({ peer: honest, request: Buffer.from('x') }),
  upperId: await run({ peer: honest, id: requestId.toUpperCase() }),
};
const work = await addon.beginWork(() => 1000, '-', 'client', 'recall');
// The first request is bound and sent, then its answer is refused: the work
// stays without a final frame, and still takes no second request.
out.first = show(await settle(() => addon.exchangePhase(work, target, descriptor(peer['wrong-echo']), Buffer.from('one'), 'recall', requestId)));
out.second = show(await settle(() => addon.exchangePhase(work, target, descriptor(honest), Buffer.from('two'), 'recall', requestId)));
await settle(() => addon.endWork(work));
`);
  });
  after(() => removeHome(home));

  it('resolves an honest version 1 exchange with the whole response', () => {
    assert.deepEqual(seen.v1.honest, { text: 'answer:hello broker' });
  });

  it('resolves an honest version 2 stream with the body of its terminal frame', () => {
    assert.deepEqual(seen.v2.honest, { text: '{"ok":true}' });
  });

  it('refuses every faulty peer with the reason of its fault', () => {
    const cases = [
      ['v1', 'wrong-ack', { error: 'broker_native_peer_refused' }],
      ['v2', 'wrong-ack', { error: 'broker_native_peer_refused' }],
      ['v1', 'ack-2048', { error: 'broker_native_peer_refused' }],
      ['v1', 'ack-2049', { error: 'broker_native_protocol_refused' }],
      ['v1', 'ack-control', { error: 'broker_native_protocol_refused' }],
      ['v1', 'length-1', { error: 'broker_native_frame_invalid' }],
      ['v1', 'length-2', { text: 'ok' }],
      ['v1', 'length-max', { text: 'length 1048576' }],
      ['v1', 'length-over', { error: 'broker_native_frame_invalid' }],
      ['v2', 'frame-length-1', { error: 'broker_native_frame_invalid' }],
      ['v2', 'started-flat', { error: 'broker_native_protocol_refused' }],
      ['v2', 'admitted-late', { error: 'broker_native_protocol_refused' }],
      ['v2', 'wrong-echo', { error: 'broker_native_protocol_refused' }],
      ['v2', 'frames-33', { error: 'broker_native_protocol_refused' }],
      ['v2', 'refused-arrival', { text: failureBody(seen.instance, 'broker_deadline_refused') }],
      ['v2', 'refused-arrival-body', { error: 'broker_native_protocol_refused' }],
      ['v1', 'stall', { error: 'profile_startup_timeout' }],
      ['v2', 'stall', { error: 'profile_startup_timeout' }],
      ['v1', 'close-mid-frame', { error: 'broker_native_transport_failed' }],
      ['v1', 'busy', { error: 'profile_startup_timeout' }],
      ['v2', 'close-mid-frame', { error: 'broker_native_transport_failed' }],
    ];
    for (const [version, fault, expected] of cases) {
      assert.deepEqual(seen[version][fault], expected, `${version} ${fault}`);
    }
  });

  it('refuses a descriptor that does not name the live peer, and bad arguments before any pipe', () => {
    const cases = [
      ['otherPid', 'broker_native_peer_refused'],
      ['otherCreation', 'broker_native_peer_refused'],
      ['otherImage', 'broker_native_peer_refused'],
      ['otherOwner', 'broker_native_peer_refused'],
      ['otherInstance', 'broker_native_peer_refused'],
      ['noPipe', 'broker_native_transport_failed'],
      ['twelveFields', 'broker_native_protocol_refused'],
      ['oneByte', 'broker_native_frame_invalid'],
      ['upperId', 'broker_native_protocol_refused'],
    ];
    for (const [name, reason] of cases) assert.deepEqual(seen.descriptor[name], { error: reason }, name);
  });

  it('binds one version 2 request per work', () => {
    assert.deepEqual(seen.first, { error: 'broker_native_protocol_refused' });
    assert.deepEqual(seen.second, { error: 'broker_native_protocol_refused' });
  });
});

describe('budgets and stage records', () => {
  let home;
  let seen;
  let records;
  let errorsOnly;
  let warmHome;
  let warm;
  before(async () => {
    home = await installHome();
    warmHome = await installHome({ sessionId: 'session-1', deviceId: 'device-1', consumerId: 'consumer-1' });
    seen = await runScript(home, `
out.logout = attempt(() => addon.prepareBrokerBudget('logout'));
const budget = addon.prepareBrokerBudget('status');
out.budget = { cold: budget.cold, budget_ms: budget.budget_ms, endpoint_json: budget.endpoint_json,
  keys: Object.keys(budget), tokenType: typeof budget.token };
const cold = await addon.beginWork(() => 3000, '-', 'client', 'status', budget.token);
const peer = await startPeer('honest');
out.cold = show(await settle(() => addon.exchange(cold, target, descriptor(peer), Buffer.from('hi'), 'status', requestId)));
await settle(() => addon.endWork(cold));
out.reused = await settle(() => addon.beginWork(() => 3000, '-', 'client', 'status', budget.token));
const wrong = addon.prepareBrokerBudget('status');
out.wrongPurpose = await settle(() => addon.beginWork(() => 3000, '-', 'client', 'recall', wrong.token));
out.wrongReused = await settle(() => addon.beginWork(() => 3000, '-', 'client', 'status', wrong.token));
// The two tokens above are used up; from here every budget stays live.
let issued = 0;
out.limit = attempt(() => { for (; issued < 200; ++issued) addon.prepareBrokerBudget('hello'); });
out.limitIssued = issued;
const event = addon.newDiagnosticEvent('worker');
out.staged = await run({ peer, version2: true, event });
process.env.NUVRA_AUTH_LOG_LEVEL = 'errors';
const stall = await startPeer('stall');
const quiet = addon.newDiagnosticEvent('worker');
out.quietOk = await run({ peer, version2: true, event: quiet });
const failing = addon.newDiagnosticEvent('worker');
out.quietFailed = await run({ peer: stall, change: { timeout: '200' }, event: failing });
out.events = { staged: event, quiet, failing };
`);
    warm = await runScript(warmHome, `
const [installer, sessionId, deviceId, consumerId] = process.argv.slice(2);
const sha = (text) => createHash('sha256').update(text).digest('hex');
const J = JSON.stringify;
const broker = await startPeer('honest');
const parent = await startPeer('honest');
const installation = sha('{"canonical_home_sha256":' + J(${JSON.stringify(warmHome.homeKey)}) +
  ',"consumer_id":' + J(consumerId) + ',"device_id":' + J(deviceId) + ',"owner_sid_hash":' + J(broker.owner) +
  ',"schema_version":"nuvra.windows-memory-broker.v1","session_id":' + J(sessionId) + '}');
const binding = sha('{"authentication_id_hash":' + J(broker.authentication) + ',"installation_binding":' +
  J(installation) + ',"schema_version":"nuvra.windows-memory-broker.v1","windows_session_id":' + broker.session + '}');
const record = (change) => JSON.stringify({
  schema_version: 'nuvra.windows-memory-broker-endpoint.v1', protocol_version: 'nuvra.windows-memory-broker.v1',
  broker_binding: binding, broker_instance: broker.instance, owner_sid_hash: broker.owner,
  pipe_name: '\\\\\\\\.\\\\pipe\\\\nuvra-memory-v1-' + binding.slice(0, 48),
  started_at: '2026-01-02T03:04:05.006Z', published_at: '2026-01-02T03:04:05.007Z', broker_scope: 'machine',
  pid: broker.pid, process_creation_filetime: broker.creation, image_path_sha256: broker.image,
  authentication_id_hash: broker.authentication, windows_session_id: broker.session,
  installation_root_sha256: ${JSON.stringify(warmHome.homeKey)}, parent_pid: parent.pid,
  parent_process_creation_filetime: parent.creation, parent_image_path_sha256: parent.image, ...change });
const publish = (text) => {
  const file = profile.home + '\\\\state\\\\broker\\\\endpoint.json';
  fs.mkdirSync(profile.home + '\\\\state\\\\broker', { recursive: true });
  const source = profile.home + '\\\\..\\\\endpoint-source.json';
  fs.writeFileSync(source, text);
  const done = spawnSync(installer, ['--write-record', file, '--from', source], { windowsHide: true });
  if (done.status !== 0) throw new Error('write-record exited with ' + done.status);
};
const budget = (operation) => { const b = addon.prepareBrokerBudget(operation); return { cold: b.cold, budget_ms: b.budget_ms, endpoint_json: b.endpoint_json }; };
publish(record({}));
out.published = record({});
out.warm = budget('recall');
const token = addon.prepareBrokerBudget('recall').token;
const work = await addon.beginWork(() => 1000, '-', 'client', 'recall', token);
out.warmExchange = show(await settle(() => addon.exchange(work, target, descriptor(broker), Buffer.from('warm'), 'recall', requestId)));
await settle(() => addon.endWork(work));
publish(record({ published_at: '2026-01-02T03:04:05.005Z' }));
out.early = attempt(() => budget('recall'));
publish(record({ pid: String(broker.pid) }));
out.pidText = attempt(() => budget('recall'));
publish(record({ parent_process_creation_filetime: String(BigInt(parent.creation) + 1n) }));
out.parentReused = attempt(() => budget('recall'));
publish(record({ image_path_sha256: 'a'.repeat(64) }));
out.otherRuntime = attempt(() => budget('recall'));
`, [installerPath(), 'session-1', 'device-1', 'consumer-1']);
    const logs = path.win32.join(home.home, 'logs');
    const lines = fs.readdirSync(logs).flatMap((f) =>
      fs.readFileSync(path.win32.join(logs, f), 'utf8').split('\n').filter(Boolean).map((l) => JSON.parse(l)));
    records = lines.filter((r) => r.event === 'stage' && r.event_id === seen.events.staged);
    errorsOnly = lines.filter((r) => r.event === 'stage' &&
      (r.event_id === seen.events.quiet || r.event_id === seen.events.failing));
  });
  after(() => { removeHome(home); removeHome(warmHome); });

  it('hands out a warm budget for a published live broker, and runs the exchange inside it', () => {
    assert.deepEqual(warm.warm, { cold: false, budget_ms: 1000, endpoint_json: warm.published });
    assert.deepEqual(warm.warmExchange, { text: 'answer:warm' });
  });

  it('answers cold for a record that fails the client checks, and refuses a broker of another runtime', () => {
    const cold = { value: { cold: true, budget_ms: 3000, endpoint_json: '' } };
    assert.deepEqual(warm.early, cold);
    assert.deepEqual(warm.pidText, cold);
    assert.deepEqual(warm.parentReused, cold);
    assert.deepEqual(warm.otherRuntime, { error: 'broker_runtime_incompatible' });
  });

  it('hands out a cold budget when nothing is published, and refuses unknown operations', () => {
    assert.deepEqual(seen.logout, { error: 'profile_evidence_role' });
    assert.deepEqual(seen.budget, { cold: true, budget_ms: 3000, endpoint_json: '',
      keys: ['token', 'cold', 'budget_ms', 'endpoint_json'], tokenType: 'object' });
  });

  it('runs no native exchange inside a cold budget and uses each token once', () => {
    assert.deepEqual(seen.cold, { error: 'profile_budget_class' });
    assert.deepEqual(seen.reused, { error: 'profile_budget_class' });
    assert.deepEqual(seen.wrongPurpose, { error: 'profile_budget_class' });
    assert.deepEqual(seen.wrongReused, { error: 'profile_budget_class' });
  });

  it('refuses the 129th live budget', () => {
    assert.deepEqual(seen.limit, { error: 'profile_work_limit' });
    assert.equal(seen.limitIssued, 128);
  });

  it('leaves one succeeded stage record per stage of a version 2 exchange, in order', () => {
    assert.deepEqual(seen.staged, { text: '{"ok":true}' });
    assert.deepEqual(records.map((r) => [r.stage, r.outcome, r.reason]), [
      ['profile_exchange_begin', 'succeeded', 'none'],
      ['profile_pipe_connected', 'succeeded', 'none'],
      ['profile_peer_verified', 'succeeded', 'none'],
      ['profile_preamble_done', 'succeeded', 'none'],
      ['profile_request_written', 'succeeded', 'none'],
      ['profile_exchange_terminal', 'succeeded', 'none'],
    ]);
    const memory = createHash('sha256').update(Buffer.concat([
      Buffer.from('nuvra-memory-event-v1'), Buffer.from([0]), Buffer.from(REQUEST_ID)])).digest('hex');
    for (const r of records) {
      assert.equal(r.memory_event_id, memory);
      assert.equal(r.transport_request_id, REQUEST_ID);
      assert.equal(r.transport_operation, 'recall');
    }
    assert.equal(records[0].pipe_bytes_written, 0);
    assert.ok(records[5].pipe_bytes_written > 0 && records[5].pipe_bytes_read > 0);
  });

  it('writes only the failed terminal record when the level is "errors"', () => {
    assert.deepEqual(seen.quietOk, { text: '{"ok":true}' });
    assert.deepEqual(seen.quietFailed, { error: 'profile_startup_timeout' });
    assert.deepEqual(errorsOnly.map((r) => [r.event_id === seen.events.failing, r.stage, r.outcome,
      r.reason]), [[true, 'profile_exchange_terminal', 'failed', 'broker_native_transport_failed']]);
  });
});
