// The host's pipe service with real clients: the product's resident runtime
// (product/resident.mjs serving with product/serve.mjs) is published in a
// home, and entry runtimes of that home send version 1 and version 2
// requests through prepareBrokerBudget, beginWork and exchange /
// exchangePhase (product/client.mjs), one after another and several at once.
import { describe, it, before, after } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { addonPath } from './lib/addon.mjs';
import { installHome, removeHome } from './lib/home.mjs';
import { client, openGate, productUrl, request, whileServing } from './lib/serving.mjs';

// The failure object of a final frame, written out by hand.
const failureBody = (record, { operation, requestId }, reason) =>
  `{"broker_instance":"${record.broker_instance}","error_code":"${reason}","failure_reason":"${reason}",`
  + `"ok":false,"operation":"${operation}","request_id":"${requestId}",`
  + '"schema_version":"nuvra.windows-memory-broker.v1"}';

// Clients sending at once. The home's serialisation mutex orders most of an
// operation's cost, so N clients at once take about N times one operation
// (about 120 ms each under Wine here); eight at once can exceed the one-second
// warm budget on a slow machine, which is the product's throughput, not the
// host's concurrency this suite shows.
const AT_ONCE = 4;

describe('the host serves clients for the product resident', () => {
  let home;
  let record;
  let sequential;
  let requests;
  let parallel;
  let recalled;
  before(async () => {
    home = await installHome();
    requests = [
      request('capture', JSON.stringify({ text: 'remember the blue kettle' })),
      request('capture', JSON.stringify({ operation: 'capture', text: 'the red door' }), 1),
      request('recall', JSON.stringify({ word: 'kettle' })),
      request('recall', JSON.stringify({ operation: 'recall', word: 'door' }), 1),
      request('hello', '{}'),
      request('capture', 'not json'),
      request('status', 'xy', 1),
    ];
    await whileServing(home, async () => {
      record = JSON.parse(fs.readFileSync(path.win32.join(home.home, 'state', 'broker', 'endpoint.json'), 'utf8'));
      sequential = await client(home, requests);
      const gate = path.win32.join(home.home, 'gate');
      fs.mkdirSync(gate);
      const started = Array.from({ length: AT_ONCE }, (_, i) =>
        client(home, [request('capture', JSON.stringify({ text: `parallel note ${i}` }))], gate));
      parallel = await openGate(gate, started);
      recalled = await client(home, [request('recall', JSON.stringify({ word: 'parallel' }))]);
    });
  });
  after(() => removeHome(home));

  it('answers version 1 and version 2 requests with the operation done', () => {
    const answers = sequential.map((r) => (r.text ? JSON.parse(r.text) : r));
    const expected = [
      { operation: 'capture', texts: ['remember the blue kettle'] },
      { operation: 'capture', texts: ['the red door'] },
      { operation: 'recall', texts: ['remember the blue kettle'] },
      { operation: 'recall', texts: ['the red door'] },
      { operation: 'hello', texts: [] },
    ];
    expected.forEach(({ operation, texts }, i) => {
      const answer = answers[i];
      assert.equal(answer.ok, true, JSON.stringify(answer));
      assert.equal(answer.operation, operation);
      assert.equal(answer.schema_version, 'nuvra.windows-memory-broker.v1');
      const found = answer.memory ? [answer.memory] : (answer.memories ?? []);
      assert.deepEqual(found.map((m) => m.text), texts);
      if (requests[i].version === 2) assert.equal(answer.request_id, requests[i].requestId);
    });
  });

  it('ends a failed version 2 request with the exact failure object', () => {
    assert.deepEqual(sequential[5], { text: failureBody(record, requests[5], 'internal_error') });
  });

  it('answers a version 1 request it cannot read', () => {
    assert.ok(sequential[6].text, JSON.stringify(sequential[6]));
    assert.deepEqual(JSON.parse(sequential[6].text), { ok: false, error_code: 'bad_request_shape',
      schema_version: 'nuvra.windows-memory-broker.v1' });
  });

  it('serves several clients at once', () => {
    parallel.forEach(([r], i) => {
      assert.ok(r.text, JSON.stringify(r));
      assert.equal(JSON.parse(r.text).memory.text, `parallel note ${i}`);
    });
    const texts = JSON.parse(recalled[0].text).memories.map((m) => m.text).sort();
    assert.deepEqual(texts, Array.from({ length: AT_ONCE }, (_, i) => `parallel note ${i}`));
  });

  it('leaves one sealed audit file per version 2 request', () => {
    const directory = path.win32.join(home.home, 'state', 'broker');
    const audits = fs.readdirSync(directory).filter((name) => /^phase-[0-9a-f]{64}\.bin$/.test(name));
    // Four sequential, those at once and the recall after them.
    assert.equal(audits.length, 4 + AT_ONCE + 1);
    for (const name of audits) {
      const bytes = fs.readFileSync(path.win32.join(directory, name));
      assert.equal(bytes.length, 4096);
      const line = bytes.toString('latin1', 0, bytes.indexOf(10));
      assert.deepEqual(line.split('\t').slice(0, 2), ['NUVRA_AUDIT_V3', 'server']);
    }
  });

  it('leaves a terminal record of each side: every client request and every server work', () => {
    const logs = path.win32.join(home.home, 'logs');
    const records = fs.readdirSync(logs).flatMap((name) => fs.readFileSync(path.win32.join(logs, name), 'utf8')
      .split('\n').filter((line) => line.includes('"event":"operation_result"')).map((line) => JSON.parse(line)));
    const outcomes = (role) => records.filter((r) => (role === 'client' ? r.client : r.server)?.role === role
      && (role === 'client' ? r.server === null || r.server.source === 'authenticated_terminal_frame' : r.client === null))
      .map((r) => `${r.ok} ${r.state} ${r.reason}`).sort();
    const times = (n, text) => Array(n).fill(text);
    // Clients: seven sequential requests (the "not json" capture refused by
    // the broker with the reason the host writes, the unreadable version 1
    // "status" refused in its answer with the server's reason), those
    // captures at once, one recall.
    assert.deepEqual(outcomes('client'), [...times(1, 'false failed internal_error'),
      ...times(1, 'false failed bad_request_shape'), ...times(2 + AT_ONCE, 'true saved none'), ...times(3, 'true recalled none'),
      ...times(1, 'true connected none')].sort());
    // Servers: every version 2 request, each a server work.
    assert.deepEqual(outcomes('server'), [...times(1, 'false failed internal_error'),
      ...times(1 + AT_ONCE, 'true saved none'), ...times(2, 'true recalled none'), ...times(1, 'true connected none')].sort());
  });
});

describe('a runtime that does not answer', () => {
  let home;
  let seen;
  before(async () => {
    home = await installHome();
    // The resident leaves the first request unanswered and serves the rest.
    seen = await whileServing(home, async () => ({
      first: await client(home, [request('hello', '{}'), request('hello', '{}', 1)]),
      later: await client(home, [request('hello', '{}')]),
    }), `import { createRequire } from 'node:module';
import { startResident, endSignal } from ${JSON.stringify(productUrl('resident.mjs'))};
import { MemoryStore, serveRequest } from ${JSON.stringify(productUrl('serve.mjs'))};
const addon = createRequire(import.meta.url)(${JSON.stringify(addonPath.testbed)});
const signal = endSignal();
const { host } = await startResident(addon);
const store = new MemoryStore(addon.initialize().home);
let ignored = 0;
host.on('request', (message) => {
  if (ignored++ < 2) return;
  serveRequest(addon, store, message, async (answer) => host.send(answer));
});
await new Promise((resolve) => signal.addEventListener('abort', resolve, { once: true }));
host.close();
addon.endResident();
process.exit();
`);
  });
  after(() => removeHome(home));

  it('lets the client give up at its deadline and serves the next client', () => {
    assert.deepEqual(seen.first, [{ error: 'profile_startup_timeout' }, { error: 'profile_startup_timeout' }]);
    assert.equal(JSON.parse(seen.later[0].text).ok, true, JSON.stringify(seen.later));
  });
});
