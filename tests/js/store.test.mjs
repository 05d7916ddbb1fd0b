// The product's memory store (product/store.mjs) and the product's answers
// around it: recall by word through the full-text index, one memory per
// request id, the bounds, the earlier line file taken over, a version 1
// request the server refuses (product/serve.mjs), and a client that gives up
// on a cold broker (product/client.mjs).
import { describe, it, before, after } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { randomUUID } from 'node:crypto';
import { pathToFileURL, fileURLToPath } from 'node:url';
import { addonPath } from './lib/addon.mjs';
import { installHome, removeHome, runJobScript } from './lib/home.mjs';

const productFile = (name) => fileURLToPath(new URL(`../../product/${name}`, import.meta.url));
const { MemoryStore } = await import(pathToFileURL(productFile('store.mjs')).href);
const { serveRequest } = await import(pathToFileURL(productFile('serve.mjs')).href);

// A home with only the folder the store lives in.
function scratchHome() {
  const home = fs.mkdtempSync(path.join(os.tmpdir(), 'nuvra-store-'));
  fs.mkdirSync(path.join(home, 'state'));
  return home;
}
const refusal = (fn) => {
  try {
    fn();
  } catch (error) {
    return error.message;
  }
  return 'none';
};

describe('recall finds a memory by one of its words', () => {
  const memories = ['The Blue kettle', 'a well-known path', 'snake_case names', 'kettles are many',
    'Ärger im Büro', 'blue-green water'];
  const cases = [
    { word: 'kettle', found: ['The Blue kettle'] },
    { word: 'KETTLE', found: ['The Blue kettle'] },
    { word: 'kettles', found: ['kettles are many'] },
    { word: 'ket', found: [] },
    { word: 'well-known', found: ['a well-known path'] },
    { word: 'well', found: [] },
    { word: 'snake_case', found: ['snake_case names'] },
    { word: 'ärger', found: ['Ärger im Büro'] },
    { word: 'blue', found: ['The Blue kettle'] },
    { word: 'blue-green', found: ['blue-green water'] },
  ];
  let home;
  let store;
  before(() => {
    home = scratchHome();
    store = new MemoryStore(home);
    for (const text of memories) store.capture(text, randomUUID());
  });
  after(() => {
    store.close();
    fs.rmSync(home, { recursive: true, force: true });
  });
  for (const { word, found } of cases) {
    it(`"${word}" finds ${found.length ? found.join(', ') : 'nothing'}`, () => {
      assert.deepEqual(store.recall(word).map((m) => m.text), found);
    });
  }

  it('answers the 32 newest of more, oldest first', () => {
    for (let i = 0; i < 40; i += 1) store.capture(`many notes ${i}`, randomUUID());
    assert.deepEqual(store.recall('many').map((m) => m.text),
      Array.from({ length: 32 }, (_, i) => `many notes ${i + 8}`));
  });
});

describe('a capture is refused with a reason', () => {
  const id = randomUUID();
  const cases = [
    { what: 'an empty text', call: (s) => s.capture('', randomUUID()), reason: 'bad_request_shape' },
    { what: 'a text of 4,097 characters', call: (s) => s.capture('x'.repeat(4097), randomUUID()), reason: 'bad_request_shape' },
    { what: 'a text of 4,096 characters', call: (s) => s.capture('y'.repeat(4096), randomUUID()), reason: 'none' },
    { what: 'a text that is no string', call: (s) => s.capture({ text: 'a' }, randomUUID()), reason: 'bad_request_shape' },
    { what: 'a request id in upper case', call: (s) => s.capture('a', randomUUID().toUpperCase()), reason: 'bad_request_shape' },
    { what: 'a request id already used for another text', call: (s) => { s.capture('first', id); s.capture('second', id); },
      reason: 'request_id_invalid' },
    { what: 'a recall of two words', call: (s) => s.recall('two words'), reason: 'bad_request_shape' },
    { what: 'a recall of a quote', call: (s) => s.recall('"'), reason: 'bad_request_shape' },
  ];
  let home;
  let store;
  before(() => {
    home = scratchHome();
    store = new MemoryStore(home);
  });
  after(() => {
    store.close();
    fs.rmSync(home, { recursive: true, force: true });
  });
  for (const { what, call, reason } of cases) {
    it(`${what}: ${reason}`, () => assert.equal(refusal(() => call(store)), reason));
  }
});

describe('the store keeps its promises across opens', () => {
  let home;
  before(() => { home = scratchHome(); });
  after(() => fs.rmSync(home, { recursive: true, force: true }));

  it('answers a retried request id from the first capture and stores it once', () => {
    const id = randomUUID();
    const store = new MemoryStore(home);
    const first = store.capture('retried once', id);
    store.close();
    const again = new MemoryStore(home);
    const second = again.capture('retried once', id);
    const rows = again.all().filter((row) => row.text === 'retried once');
    again.close();
    assert.equal(first.stored, true);
    assert.equal(second.stored, false);
    assert.equal(second.memory.id, first.memory.id);
    assert.equal(rows.length, 1);
  });

  it('refuses captures once full and still recalls', () => {
    const store = new MemoryStore(home, { file: path.join(home, 'small.db'), limitBytes: 128 * 1024 });
    let reason = 'none';
    let stored = 0;
    while (reason === 'none' && stored < 10000) {
      reason = refusal(() => store.capture(`full note ${stored} ${'z'.repeat(1000)}`, randomUUID()));
      if (reason === 'none') stored += 1;
    }
    const recalled = store.recall('full').length;
    store.close();
    assert.equal(reason, 'store_refused');
    assert.ok(stored > 0 && stored < 10000, `${stored} stored`);
    assert.equal(recalled, Math.min(stored, 32));
  });

  it('takes over the whole lines of the earlier line file once', () => {
    const old = path.join(home, 'state', 'memories.jsonl');
    fs.writeFileSync(old, `${JSON.stringify({ id: randomUUID(), text: 'an old teapot', captured_at: 'then' })}\n`
      + `${JSON.stringify({ id: randomUUID(), text: 'an old cup', captured_at: 'then' })}\n{"id":"torn`);
    const store = new MemoryStore(home);
    const found = store.recall('old').map((m) => m.text);
    store.close();
    const reopened = new MemoryStore(home);
    const count = reopened.all().filter((row) => row.text.startsWith('an old')).length;
    reopened.close();
    assert.deepEqual(found, ['an old teapot', 'an old cup']);
    assert.equal(count, 2);
    assert.equal(fs.existsSync(old), false);
  });
});

describe('a version 1 request the server refuses', () => {
  const cases = [
    { body: 'null', reason: 'bad_request_shape' },
    { body: '[]', reason: 'bad_request_shape' },
    { body: '"capture"', reason: 'bad_request_shape' },
    { body: 'not json', reason: 'bad_request_shape' },
    { body: '{"operation":"nope"}', reason: 'bad_request_shape' },
    { body: '{"operation":"capture"}', reason: 'bad_request_shape' },
    { body: '{"operation":"recall","word":null}', reason: 'bad_request_shape' },
    { body: '{"operation":"capture","text":"x","request_id":"NOT-AN-ID"}', reason: 'bad_request_shape' },
  ];
  let home;
  let store;
  before(() => {
    home = scratchHome();
    store = new MemoryStore(home);
  });
  after(() => {
    store.close();
    fs.rmSync(home, { recursive: true, force: true });
  });
  for (const { body, reason } of cases) {
    it(`${body} is answered ${reason}`, async () => {
      let answer;
      await serveRequest(null, store, { version: 1, id: 1, body: Buffer.from(body).toString('base64') },
        async (message) => { answer = message; });
      assert.equal(answer.type, 'response');
      assert.deepEqual(JSON.parse(Buffer.from(answer.body, 'base64').toString()),
        { ok: false, error_code: reason, schema_version: 'nuvra.windows-memory-broker.v1' });
    });
  }
});

describe('a client giving up on a cold broker', () => {
  let home;
  before(async () => { home = await installHome(); });
  after(() => removeHome(home));

  it('leaves no budget token behind: the 200th attempt is still "broker_unavailable"', async () => {
    const seen = await runJobScript(home, `
import { createRequire } from 'node:module';
import { randomUUID } from 'node:crypto';
import { brokerRequest } from ${JSON.stringify(pathToFileURL(productFile('client.mjs')).href)};
const addon = createRequire(import.meta.url)(process.argv[2]);
const out = {};
try {
  addon.initialize();
  out.finish = { value: addon.finishStartup() };
  const reasons = {};
  for (let i = 0; i < 200; i += 1) {
    try { await brokerRequest(addon, { operation: 'capture', body: '{"text":"x"}', requestId: randomUUID() }); reasons.none = (reasons.none ?? 0) + 1; }
    catch (e) { reasons[e.message] = (reasons[e.message] ?? 0) + 1; }
  }
  out.reasons = reasons;
} catch (e) { out.crashed = e.message; }
console.log(JSON.stringify(out));
`, { args: [addonPath.testbed] });
    assert.deepEqual(seen.reasons, { broker_unavailable: 200 });
  });
});
