// The home's timeline (product/timeline.mjs) over small homes whose records
// are planted here by hand from their formats: each anomaly support asks
// about first, rotations across days and indexes, torn and foreign lines.
// The tool is plain JavaScript; it runs here in the test's own node.exe.
import { describe, it, after } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { createHash } from 'node:crypto';
import { createRequire } from 'node:module';
import { fileURLToPath } from 'node:url';
import { expectedCheckpoint, expectedTerminal } from './lib/terminal_records.mjs';

const tool = await import(new URL('../../product/timeline.mjs', import.meta.url));
const { SaxesParser } = createRequire(import.meta.url)(
  fileURLToPath(new URL('../../testbed/node_modules/saxes/saxes.js', import.meta.url)));

const NOW = Date.parse('2026-06-15T12:00:00.000Z');
const T = (seconds) => NOW - 3600000 + seconds * 1000;
const stamp = (ms) => new Date(ms).toISOString();
const sha256 = (text) => createHash('sha256').update(text).digest('hex');
const hex = (seed, length) => sha256(String(seed)).repeat(2).slice(0, length);
const uuid = (seed) => { const h = hex(`u${seed}`, 32); return `${h.slice(0, 8)}-${h.slice(8, 12)}-${h.slice(12, 16)}-${h.slice(16, 20)}-${h.slice(20)}`; };
const q = (value) => (value === null ? 'null' : `"${value}"`);
const DAY = '20260615';
const [RESIDENT_PID, HOST_PID, CLIENT_PID] = [1200, 1208, 1300];
const scratch = fs.mkdtempSync(path.join(os.tmpdir(), 'nuvra-timeline-'));
after(() => { if (!process.env.KEEP_TIMELINE_HOMES) fs.rmSync(scratch, { recursive: true, force: true }); });

// A home under construction: appends keep each line's byte offset, so that a
// case can name where a finding must point.
class PlantedHome {
  constructor(name) {
    this.home = path.join(scratch, name);
    this.traces = path.join(scratch, `${name}-traces`);
    for (const dir of [path.join(this.home, 'logs'), path.join(this.home, 'state', 'broker'), this.traces]) {
      fs.mkdirSync(dir, { recursive: true });
    }
    this.expected = [];
  }

  append(text, day = DAY, index = 0) {
    const name = `nuvra-${day}-${index}.jsonl`;
    const file = path.join(this.home, 'logs', name);
    const offset = fs.existsSync(file) ? fs.statSync(file).size : 0;
    fs.appendFileSync(file, text);
    return { file: path.join('logs', name), offset };
  }

  expect(code, where) {
    this.expected.push({ code, file: where.file, offset: where.offset });
  }

  stamped(file, ms) {
    fs.utimesSync(file, new Date(ms), new Date(ms));
  }
}

const residentLine = (stage, elapsed) => '{"schema_version":"nuvra.resident-startup-diagnostic.v1","scope":"resident_startup",'
  + `"stage":"${stage}","elapsed_ms":${elapsed},"remaining_ms":${3000 - elapsed}}\n`;
const refusedLine = (code, elapsed) => '{"schema_version":"nuvra.resident-startup-diagnostic.v1","scope":"resident_startup",'
  + `"stage":"publication_refused","error_kind":"native_exception","error_code":"${code}","elapsed_ms":${elapsed},"remaining_ms":${3000 - elapsed}}\n`;
const ORDER = ['host_prepare', 'worker_prepare', 'host_ready', 'worker_ready', 'account_validate', 'account_ready', 'account_end', 'publish'];

// A resident startup: its checkpoints (each 100 ms apart), the endpoint it
// published and its startup trace, unless left out.
function plantResident(h, { stages = ORDER, refused = null, publish = true, trace = true, at = T(0) } = {}) {
  const lines = stages.map((stage, i) => h.append(residentLine(stage, 200 + 100 * i)));
  if (refused) h.expect('publication_refused', h.append(refusedLine(refused, 1000)));
  if (publish && !refused) {
    const file = path.join(h.home, 'state', 'broker', 'endpoint.json');
    fs.writeFileSync(file, `{"schema_version":"nuvra.broker-endpoint.v1","pid":${HOST_PID},"parent_pid":${RESIDENT_PID}}`);
    h.stamped(file, at + 200 + 100 * stages.length);
  }
  if (trace) plantTrace(h, RESIDENT_PID, at, [['native_profile_entry', 0], ['startup_ack_sent', 40], ['managed_createprocess_before', 60]]);
  return lines;
}

// A startup trace from `at` on, written at its last checkpoint; every
// process reads one tick clock, 5,000,000 at T(0).
function plantTrace(h, pid, at, stages) {
  const attempt = hex(`a${pid}`, 32);
  const file = path.join(h.traces, `${attempt}-${pid}-native.jsonl`);
  fs.writeFileSync(file, stages.map(([stage, ms]) => '{"schema_version":"nuvra.startup-timing.v1",'
    + `"attempt_id":"${attempt}","source":"native_addon","stage":"${stage}","pid":${pid},"monotonic_ms":${5000000 + at - T(0) + ms}}\n`).join(''));
  h.stamped(file, at + Math.max(...stages.map(([, ms]) => ms)));
}

const stageLine = ({ event, at, pid, stage, failed, operation, requestId }) => '{"schema_version":"nuvra.local-diagnostic.v1",'
  + `"event":"stage","event_id":"${event}","diagnostic_id":"${event.slice(0, 8)}-${event.slice(8, 12)}-4${event.slice(13, 16)}-a${event.slice(17, 20)}-${event.slice(20, 32)}",`
  + `"operation":"worker","utc":"${stamp(at)}","pid":${pid},"stage":"${stage}","outcome":"${failed ? 'failed' : 'succeeded'}",`
  + `"reason":"${failed ? 'broker_native_transport_failed' : 'none'}","pipe_bytes_written":0,"pipe_bytes_read":0,"native_win32_error":${failed ? 109 : 0},`
  + `"event_elapsed_ms":5,"remaining_work_ms":900,"transport_operation":"${operation}","transport_request_id":"${requestId}",`
  + `"memory_event_id":"${sha256(`nuvra-memory-event-v1\0${requestId}`)}"}\n`;

const clientEvidence = ({ work, hash, phase, submitted, noDispatch, observed, reason, effect, retry }) => `{"role":"client",`
  + `"owner_work":"${work}","correlation_hash":${q(hash)},"last_verified_phase":"${phase}","dispatch_submitted":${submitted},`
  + `"no_dispatch_proven":${noDispatch},"terminal_observed":${observed},"terminal_reason":${q(reason)},"cleanup_confirmed":true,`
  + `"effect_certainty":"${effect}","retry_may_duplicate":${retry},"saved":null,"delivered":null,"dropped":null}`;
const frameEvidence = ({ serverWork, hash, reason, accounts, memories }) => '{"role":"server","source":"authenticated_terminal_frame",'
  + `"owner_work":null,"server_work":"${serverWork}","correlation_hash":"${hash}","sequence":5,"last_verified_phase":"terminal",`
  + `"terminal_sealed":null,"server_reason":${q(reason)},"counts_complete":true,"account_send_count":${accounts},`
  + `"memory_send_count":${memories},"effect_certainty":"${accounts + memories ? 'possible' : 'none'}","logging_status":"unknown"}`;
const ownerEvidence = ({ serverWork, hash, reason, memories, logging }) => '{"role":"server","source":"native_server_owner",'
  + `"owner_work":"${serverWork}","server_work":"${serverWork}","correlation_hash":"${hash}","sequence":5,"last_verified_phase":"terminal",`
  + `"terminal_sealed":true,"server_reason":"${reason}","counts_complete":true,"account_send_count":0,"memory_send_count":${memories},`
  + `"effect_certainty":"unknown","logging_status":"${logging}"}`;
const elapsed = { original_budget_ms: 1000, work_ms: 80, end_ms: 4, projection_ms: 2, operation_ms: 86 };

// One version 2 request: the client's checkpoint, stage records and terminal
// record, the server work's checkpoint and terminal record and its sealed
// audit. `fault` plants one thing wrong; `leave` drops records.
// `torn` names records to be preceded by a fragment left by a killed writer.
function plantExchange(h, seed, { at, operation = 'capture', fault = null, leave = [], files = [0, 0, 0], day = DAY, torn = {} } = {}) {
  const requestId = uuid(seed);
  const event = hex(`e${seed}`, 64);
  const [clientWork, serverWork] = [String(10 + seed), String(500 + seed)];
  const line = [event, requestId, clientWork, '7', operation, hex(`b${seed}`, 32), String(5000000 + seed * 1000)].join('\t');
  const hash = sha256(line);
  const [clientOp, serverOp] = [hex(`c${seed}`, 64), hex(`s${seed}`, 64)];
  const ok = fault !== 'server_failed';
  const reason = ok ? 'none' : 'broker_failed';
  const at_ = (ms) => at + ms;
  const placed = {};
  const write = (key, text, index = 0) => {
    if (torn[key]) placed[`${key}_torn`] = h.append(torn[key], day, index);
    if (!leave.includes(key)) placed[key] = h.append(text, day, index);
  };
  write('client_checkpoint', expectedCheckpoint({ id: clientOp, attempt: '', request: requestId, operation, utc: stamp(at_(0)) }), files[0]);
  const stages = ['profile_exchange_begin', 'profile_pipe_connected', 'profile_peer_verified', 'profile_preamble_done', 'profile_request_written'];
  stages.forEach((stage, i) => write(stage, stageLine({ event, at: at_(5 + i * 5), pid: CLIENT_PID, stage, operation, requestId }), files[1]));
  write('server_checkpoint', expectedCheckpoint({ id: serverOp, attempt: '', request: requestId, operation, utc: stamp(at_(40)) }), files[1]);
  write('server_terminal', expectedTerminal({ id: serverOp, attempt: '', request: requestId, operation, phase: 'terminal', ok,
    state: ok ? 'saved' : 'failed', reason, utc: stamp(at_(50)), elapsed,
    server: ownerEvidence({ serverWork, hash, reason, memories: 1, logging: 'recorded' }) }), files[1]);
  if (!leave.includes('audit')) {
    const fields = ['NUVRA_AUDIT_V3', 'server', line, serverWork, '5', 'terminal', reason, 'possible', '1', '1', '0', '1'];
    const bytes = Buffer.alloc(fault === 'torn_audit' ? 2000 : 4096);
    bytes.write(`${fields.join('\t')}\n`, 'latin1');
    const file = path.join(h.home, 'state', 'broker', `phase-${hash}.bin`);
    fs.writeFileSync(file, bytes);
    h.stamped(file, at_(45));
    placed.audit = { file: path.join('state', 'broker', `phase-${hash}.bin`), offset: 0 };
  }
  write('profile_exchange_terminal', stageLine({ event, at: at_(60), pid: CLIENT_PID, stage: 'profile_exchange_terminal',
    failed: fault === 'exchange_failed', operation, requestId }), files[2]);
  const client = clientEvidence({ work: clientWork, hash, phase: fault === 'never_sent' ? 'never_sent' : 'terminal',
    submitted: fault !== 'never_sent', noDispatch: fault === 'never_sent' ? true : null, observed: fault === 'never_sent' ? null : true,
    reason: fault === 'never_sent' ? null : reason, effect: fault === 'never_sent' ? 'none' : 'possible', retry: false });
  const server = frameEvidence({ serverWork, hash, reason, accounts: 0, memories: fault === 'frame_counts' ? 0 : 1 });
  write('client_terminal', expectedTerminal({ id: clientOp, attempt: '', request: requestId, operation, phase: 'terminal', ok,
    state: ok ? 'saved' : 'failed', reason, utc: stamp(at_(90)), elapsed, client,
    server: fault === 'never_sent' ? 'null' : server }), files[2]);
  return { placed, clientOp, serverOp, requestId, hash };
}

// A version 1 request: dispatched, and with no phase frames its evidence
// stays at "never_sent" with no request line to hash.
function plantVersion1(h, seed, at) {
  const requestId = uuid(seed);
  const event = hex(`e${seed}`, 64);
  const id = hex(`c${seed}`, 64);
  h.append(expectedCheckpoint({ id, attempt: '', request: requestId, operation: 'recall', utc: stamp(at) }));
  ['profile_exchange_begin', 'profile_pipe_connected', 'profile_peer_verified', 'profile_preamble_done', 'profile_request_written',
    'profile_response_first_byte', 'profile_response_complete', 'profile_exchange_terminal'].forEach((stage, i) => h.append(
    stageLine({ event, at: at + 5 + i * 5, pid: CLIENT_PID, stage, operation: 'recall', requestId })));
  h.append(expectedTerminal({ id, attempt: '', request: requestId, operation: 'recall', phase: 'terminal', ok: true, state: 'recalled',
    reason: 'none', utc: stamp(at + 90), elapsed, client: clientEvidence({ work: '99', hash: null, phase: 'never_sent', submitted: true,
      noDispatch: null, observed: null, reason: null, effect: 'possible', retry: false }) }));
  return id;
}

// Each home, what is planted in it and what the tool must find.
const CASES = [
  ['a published resident serving a capture and a recall', (h) => {
    plantResident(h);
    plantExchange(h, 1, { at: T(5) });
    plantExchange(h, 2, { at: T(6), operation: 'recall' });
  }],
  ['a version 1 exchange, which proves no phase', (h) => {
    plantResident(h);
    plantVersion1(h, 3, T(5));
  }],
  ['a checkpoint with no terminal record', (h) => {
    const { placed } = plantExchange(h, 4, { at: T(5), leave: ['client_terminal'] });
    h.expect('checkpoint_without_terminal', placed.client_checkpoint);
  }],
  ['"never_sent" with a written request', (h) => {
    const { placed } = plantExchange(h, 5, { at: T(5), fault: 'never_sent' });
    h.expect('evidence_contradicts_stages', placed.client_terminal);
  }],
  ['an operation recorded ok whose exchange failed', (h) => {
    const { placed } = plantExchange(h, 6, { at: T(5), fault: 'exchange_failed' });
    h.expect('evidence_contradicts_stages', placed.client_terminal);
  }],
  ['a terminal frame whose send counts differ from the sealed audit', (h) => {
    const { placed } = plantExchange(h, 7, { at: T(5), fault: 'frame_counts' });
    h.expect('evidence_contradicts_stages', placed.client_terminal);
  }],
  ['server evidence naming a recorded audit that is not there', (h) => {
    const { placed } = plantExchange(h, 8, { at: T(5), leave: ['audit'] });
    h.expect('evidence_contradicts_stages', placed.server_terminal);
  }],
  ['a server audit with no client record', (h) => {
    const { placed } = plantExchange(h, 9, { at: T(5), leave: ['client_checkpoint', 'client_terminal', 'profile_exchange_begin',
      'profile_pipe_connected', 'profile_peer_verified', 'profile_preamble_done', 'profile_request_written', 'profile_exchange_terminal'] });
    h.expect('audit_without_client', placed.audit);
  }],
  ['a refused publication', (h) => {
    plantResident(h, { refused: 'broker_publication_recovery_required' });
  }],
  ['a gap in the resident\'s checkpoints', (h) => {
    const lines = plantResident(h, { stages: ORDER.filter((stage) => stage !== 'worker_ready') });
    h.expect('resident_checkpoint_gap', lines[ORDER.indexOf('account_validate') - 1]);
  }],
  ['a resident whose checkpoints stop, with a later start after them', (h) => {
    const lines = plantResident(h, { stages: ORDER.slice(0, 3), publish: false, trace: false });
    h.expect('resident_checkpoint_gap', lines[2]);
    plantResident(h);
  }],
  ['a torn phase audit file', (h) => {
    const { placed } = plantExchange(h, 10, { at: T(5), fault: 'torn_audit' });
    h.expect('audit_torn', placed.audit);
    // The server evidence then names an audit the reader cannot take.
    h.expect('evidence_contradicts_stages', placed.server_terminal);
  }],
  ['rotations across indexes and days, files out of the window or not the writer\'s', (h) => {
    plantResident(h);
    plantExchange(h, 11, { at: T(-86400), day: '20260614' });
    plantExchange(h, 12, { at: T(5), files: [2, 1, 0] });
    // Out of the retention window, or no log file name: never read.
    h.append(expectedCheckpoint({ id: hex('old', 64), attempt: '', request: '', operation: 'capture', utc: '2026-06-01T10:00:00.000Z' }), '20260601');
    h.append('not a record\n', '20260631');
    h.append('not a record\n', DAY, 4);
    // What a rotation killed before its delete left aside is no day's file.
    fs.writeFileSync(path.join(h.home, 'logs', `nuvra-${DAY}-3.jsonl.000000000000002b.dropped`),
      expectedCheckpoint({ id: hex('aside', 64), attempt: '', request: '', operation: 'capture', utc: stamp(T(6)) }) + 'not a record\n');
  }],
  ['a torn last line and lines that do not parse; a line of the product\'s own is none', (h) => {
    plantExchange(h, 13, { at: T(5) });
    h.append(`{"event_id":"${hex('own', 64)}","note":"the product's own line"}\n`);
    // The endpoint recovery's note of a file it removed, written by the resident.
    h.append('{"schema_version":"nuvra.resident-startup-diagnostic.v1","scope":"resident_startup",'
      + '"stage":"stale_endpoint_removed","file":"state\\\\broker\\\\endpoint.json","stale":"broker_exited","pid":4242}\n');
    for (const text of ['not json\n', '\n', '[1,2]\n', Buffer.from([0x7b, 0xff, 0xfe, 0x7d, 0x0a]),
      '{"schema_version":"nuvra.operation-checkpoint.v1","event":"terminal_pending","operation":"capture","utc":"2026-06-15T11:00:00.000Z"}\n',
      residentLine('Publish', 900),
      // Whole but for its line end: its writer was stopped before it.
      expectedCheckpoint({ id: hex('torn', 64), attempt: '', request: '', operation: 'capture', utc: stamp(T(9)) }).trimEnd()]) {
      h.expect('line_unparsed', h.append(text));
    }
  }],
  ['records cut short by killed writers, each followed on its line by the next writer\'s whole record', (h) => {
    // A terminal record cut inside its operation id leaves its checkpoint
    // without one; a line of the product's own is cut inside a character.
    const first = plantExchange(h, 14, { at: T(5), leave: ['client_terminal'] });
    h.expect('checkpoint_without_terminal', first.placed.client_checkpoint);
    const record = expectedTerminal({ id: first.clientOp, attempt: '', request: first.requestId, operation: 'capture',
      phase: 'terminal', ok: true, state: 'saved', reason: 'none', utc: stamp(T(6)), elapsed });
    const own = Buffer.from('{"event_id":"own","note":"caf\u00e9 \u20ac"}');
    const { placed } = plantExchange(h, 15, { at: T(7), torn: {
      client_terminal: record.slice(0, record.indexOf('"operation_id"') + 30),
      server_terminal: own.subarray(0, own.length - 3),
    } });
    h.expect('line_unparsed', placed.client_terminal_torn);
    h.expect('line_unparsed', placed.server_terminal_torn);
  }],
  ['forty lines of seeded noise in a rotated file', (h) => {
    let seed = 26;
    const next = () => { seed = (seed * 1103515245 + 12345) % 2147483648; return seed; };
    for (let n = 0; n < 40; n++) {
      const bytes = Buffer.from(Array.from({ length: 1 + (next() % 90) }, () => next() % 256).map((b) => (b === 10 ? 32 : b)));
      bytes[0] = 0x23;
      h.expect('line_unparsed', h.append(Buffer.concat([bytes, Buffer.from('\n')]), DAY, 1));
    }
  }],
];

const byPlace = (a, b) => a.code.localeCompare(b.code) || a.file.localeCompare(b.file) || a.offset - b.offset;
const planted = new Map();
function plantedHome(name, build) {
  if (!planted.has(name)) {
    const h = new PlantedHome(`home-${planted.size}`);
    build(h);
    planted.set(name, h);
  }
  return planted.get(name);
}
function runTool(h, args = []) {
  let stdout = '';
  let stderr = '';
  const { code, timeline } = tool.run(['--home', h.home, '--traces', h.traces, ...args], {
    stdout: { write: (text) => { stdout += text; } }, stderr: { write: (text) => { stderr += text; } }, now: NOW,
  });
  return { code, timeline, stdout, stderr };
}

describe('the timeline of a home with planted records', () => {
  for (const [name, build] of CASES) {
    it(`${name}: finds exactly what was planted`, () => {
      const h = plantedHome(name, build);
      const { code, stdout } = runTool(h, ['--json']);
      const lines = stdout.trim().split('\n').map((line) => JSON.parse(line));
      const found = [...lines.filter((l) => l.type === 'story').flatMap((s) => s.anomalies), ...lines.filter((l) => l.type === 'anomaly')]
        .map(({ code: c, file, offset }) => ({ code: c, file, offset }));
      assert.deepEqual(found.sort(byPlace), [...h.expected].sort(byPlace));
      assert.equal(code, h.expected.length ? 1 : 0);
      const text = runTool(h).stdout;
      for (const { code: c } of h.expected) assert.match(text, new RegExp(`! ${c}: `));
    });
  }

  it('joins both sides of each request into one story, across rotated files, in time order', () => {
    const h = new PlantedHome('joined');
    plantResident(h);
    const first = plantExchange(h, 21, { at: T(5), files: [2, 1, 0] });
    const second = plantExchange(h, 22, { at: T(7), operation: 'recall' });
    // Only the request id joins a checkpoint whose terminal record and stage
    // records are missing.
    const third = plantExchange(h, 23, { at: T(9), leave: ['client_terminal', 'profile_exchange_begin', 'profile_pipe_connected',
      'profile_peer_verified', 'profile_preamble_done', 'profile_request_written', 'profile_exchange_terminal'] });
    const { timeline } = runTool(h);
    assert.deepEqual(timeline.stories.map((s) => s.kind), ['resident', 'operation', 'operation', 'operation']);
    assert.deepEqual(timeline.stories[3].ids.filter((id) => [third.clientOp, third.serverOp].includes(id)).sort(),
      [third.clientOp, third.serverOp].sort());
    for (const [story, planted_] of [[timeline.stories[1], first], [timeline.stories[2], second]]) {
      for (const id of [planted_.clientOp, planted_.serverOp, planted_.requestId, planted_.hash]) assert.ok(story.ids.includes(id), id);
      assert.deepEqual([...new Set(story.events.map((e) => e.lane))].sort(),
        [`client ${CLIENT_PID}`, `host ${HOST_PID}`, `resident ${RESIDENT_PID}`]);
    }
  });
});

describe('what the filters and the command line take', () => {
  const h = new PlantedHome('filters');
  plantResident(h);
  const early = plantExchange(h, 31, { at: T(5) });
  const late = plantExchange(h, 32, { at: T(600), fault: 'never_sent' });
  const ids = (timeline) => timeline.stories.map((s) => s.id);
  const FILTERS = [
    [['--operation', early.clientOp.slice(0, 12)], 0, [early.clientOp]],
    [['--operation', late.requestId], 1, [late.clientOp]],
    [['--failed'], 1, [late.clientOp]],
    [['--since', stamp(T(300))], 1, [late.clientOp]],
    [['--since', '50m', '--operation', early.serverOp], 0, []],
    [['--since', '2h'], 1, ['resident-1', early.clientOp, late.clientOp]],
  ];
  for (const [args, code, expected] of FILTERS) {
    it(`${args.join(' ')} shows ${expected.length} stories and exits ${code}`, () => {
      const result = runTool(h, args);
      assert.deepEqual(ids(result.timeline), expected);
      assert.equal(result.code, code);
    });
  }
  const REFUSED = [
    [['--home', h.home, '--since', 'yesterday'], 2, /arguments_invalid: --since/],
    [['--home'], 2, /arguments_invalid: --home needs a value/],
    [['--home', h.home, '--colour'], 2, /arguments_invalid: unknown argument/],
    [[], 2, /arguments_invalid: --home is required/],
    [['--home', path.join(h.home, 'missing')], 3, /home_unreadable/],
    [['--home', h.home, '--svg', path.join(h.home, 'no', 'such', 'dir.svg')], 3, /output_unwritable/],
  ];
  for (const [args, code, message] of REFUSED) {
    it(`refuses ${JSON.stringify(args.slice(2))} with exit code ${code}`, () => {
      let stderr = '';
      const result = tool.run(args, { stdout: { write: () => {} }, stderr: { write: (t) => { stderr += t; } }, now: NOW });
      assert.equal(result.code, code);
      assert.match(stderr, message);
    });
  }
});

describe('the picture and the trace', () => {
  const h = new PlantedHome('picture & co');
  plantResident(h);
  plantTrace(h, CLIENT_PID, T(4), [['native_profile_entry', 0], ['startup_ack_sent', 30]]);
  plantExchange(h, 41, { at: T(5) });
  plantExchange(h, 42, { at: T(6), fault: 'server_failed', operation: 'recall' });
  const svgFile = path.join(scratch, 'picture.svg');
  const traceFile = path.join(scratch, 'picture.trace.json');
  const result = runTool(h, ['--svg', svgFile, '--trace', traceFile]);
  const lanes = [`resident pid ${RESIDENT_PID}`, `host pid ${HOST_PID}`, `client pid ${CLIENT_PID}`];

  it('writes a well-formed, self-contained SVG with one lane per process, a legend and an axis', () => {
    assert.equal(result.code, 0, result.stdout);
    const seen = { elements: [], lanes: [], texts: [], shapes: [] };
    let [lane, shape] = [null, null];
    const parser = new SaxesParser();
    parser.on('opentag', (node) => {
      seen.elements.push(node.name);
      if (node.attributes['data-lane']) seen.lanes.push(lane = node.attributes['data-lane']);
      if (lane && node.name !== 'title' && node.name !== 'text') seen.shapes.push(shape = { fill: node.attributes.fill, title: '' });
      for (const [key, value] of Object.entries(node.attributes)) {
        assert.ok(!/href$/i.test(key) && !/url\(|javascript:/i.test(value), `${key}="${value}"`);
      }
    });
    parser.on('closetag', (node) => { if (node.name === 'g') lane = null; });
    parser.on('text', (text) => {
      seen.texts.push(text.trim());
      if (shape) shape.title += text;
    });
    parser.write(fs.readFileSync(svgFile, 'utf8')).close();
    assert.equal(seen.elements[0], 'svg');
    for (const name of ['script', 'image', 'foreignObject', 'style', 'use']) assert.ok(!seen.elements.includes(name), name);
    assert.deepEqual(seen.lanes, lanes.map((label) => label.replace(' pid', '')));
    for (const label of [...lanes, 'client work', 'server work', 'failure']) assert.ok(seen.texts.includes(label), label);
    assert.ok(seen.texts.some((t) => /^\+\d/.test(t)), 'an axis label');
    // The failed recall's client and server work, and nothing else of theirs.
    const works = seen.shapes.filter((s) => / work: /.test(s.title));
    const began = (s) => Date.parse(`${stamp(T(0)).slice(0, 11)}${s.title.slice(0, 12)}Z`);
    assert.equal(works.length, 4);
    assert.deepEqual(works.map((s) => s.fill === '#d62728'), works.map((s) => Math.abs(began(s) - T(6)) < 500));
    assert.equal(works.filter((s) => s.fill === '#d62728').length, 2);
  });

  it('writes the same as trace-event JSON: a process per lane, spans and marks', () => {
    const trace = JSON.parse(fs.readFileSync(traceFile, 'utf8'));
    const named = trace.traceEvents.filter((e) => e.ph === 'M' && e.name === 'process_name').map((e) => e.args.name);
    assert.deepEqual(named, lanes);
    const spans = trace.traceEvents.filter((e) => e.ph === 'X');
    assert.deepEqual([...new Set(spans.map((e) => e.name))].sort(),
      ['client work', 'exchange through the host', 'resident startup', 'runtime startup', 'server work']);
    assert.ok(spans.every((e) => Number.isInteger(e.ts) && e.ts >= 0 && e.dur > 0));
    assert.equal(spans.filter((e) => e.cat === 'failure').length, 2, 'the failed recall: its client and server work');
    assert.ok(trace.traceEvents.filter((e) => e.ph === 'i').length > 20);
  });
});
