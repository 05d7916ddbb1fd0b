// A product home's story, told from what its runtimes left behind: the day
// log files and their rotations (operation checkpoints and terminal records
// with both sides' evidence, the exchanges' stage records, resident
// checkpoints and refused publications), the sealed phase audit files, the
// published endpoint record and the startup timing traces of the processes
// the home names. Run by the home's node.exe:
//
//   node timeline.mjs --home DIR [--since T] [--operation ID] [--failed]
//                     [--json] [--svg FILE] [--trace FILE] [--traces DIR]
//
// It prints one story per operation (and per resident startup) in time order
// in plain words with the reason codes beside them, or with --json the same
// as JSON lines. --svg writes a self-contained picture (one lane per process)
// and --trace the same as trace-event JSON. Exit code 0, 1 when it found an
// anomaly, 2 on a wrong command line, 3 when the home cannot be read.
//
// Nothing here writes to the home; what cannot be read is reported, never
// thrown past the reader.
import fs from 'node:fs';
import path from 'node:path';
import { createHash, randomBytes } from 'node:crypto';
import { pathToFileURL } from 'node:url';

export const TRACE_DIRECTORY = 'C:\\Tevra\\ona\\temp\\st24data\\trace';
// The log writer keeps the current UTC date and the six before it.
const RETENTION_DAYS = 6;
const DAY_MS = 24 * 60 * 60 * 1000;
const AUDIT_SIZE = 4096;
const AUDIT_FIELDS = 18;
// A trace is taken for one of the home's processes only when it was written
// near the home's own records: process ids come back after a restart.
const TRACE_WINDOW_MS = 10 * 60 * 1000;

// The order in which the product's resident startup takes its checkpoints
// (resident.mjs); one that is missing before a later one is a gap.
export const RESIDENT_STAGES = ['host_prepare', 'worker_prepare', 'host_ready', 'worker_ready',
  'account_validate', 'account_ready', 'account_end', 'publish'];

// The questions support asks first; each finding carries one of these codes.
export const ANOMALIES = {
  checkpoint_without_terminal: 'a checkpoint with no terminal record',
  evidence_contradicts_stages: 'terminal evidence that contradicts the stage records',
  audit_without_client: 'a server audit with no client record',
  publication_refused: 'a refused publication',
  resident_checkpoint_gap: 'a gap in a resident\'s checkpoints',
  line_unparsed: 'a line that does not parse',
  audit_torn: 'a phase audit file shorter than its 4096 bytes',
};

const EXCHANGE_WORDS = {
  profile_exchange_begin: 'the exchange began',
  profile_pipe_connected: 'connected to the broker\'s pipe',
  profile_peer_verified: 'verified the broker process',
  profile_preamble_done: 'the broker acknowledged the protocol',
  profile_request_written: 'wrote the request',
  profile_response_first_byte: 'the response began',
  profile_response_complete: 'read the whole response',
  profile_exchange_terminal: 'the exchange ended',
};

// ---------------------------------------------------------------------------
// Reading

const STAMP = /^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z$/;
const isText = (v) => typeof v === 'string';
const isStamp = (v) => isText(v) && STAMP.test(v) && !Number.isNaN(Date.parse(v));
const isCount = (v) => Number.isSafeInteger(v) && v >= 0;
const isNumber = (v) => Number.isSafeInteger(v);
const isFlag = (v) => typeof v === 'boolean';
const isObject = (v) => v !== null && typeof v === 'object' && !Array.isArray(v);
const isEvidence = (v) => v === null || isObject(v);
const isElapsed = (v) => isObject(v) && ['original_budget_ms', 'work_ms', 'end_ms', 'projection_ms',
  'operation_ms'].every((key) => isCount(v[key]));

const isResidentStage = (v) => RESIDENT_STAGES.includes(v) || v === 'publication_refused';

// The records this reader knows, by schema: the event they must carry and
// the members it relies on. Any other JSON object is a line of the product's
// own and is kept as it is.
const SHAPES = {
  'nuvra.operation-checkpoint.v1': { kind: 'checkpoint', event: 'terminal_pending',
    keys: { operation_id: isText, operation: isText, utc: isStamp } },
  'nuvra.operation-terminal.v1': { kind: 'terminal', event: 'operation_result',
    keys: { operation_id: isText, operation: isText, ok: isFlag, state: isText, reason: isText, utc: isStamp,
      elapsed: isElapsed, client: isEvidence, server: isEvidence } },
  'nuvra.local-diagnostic.v1': { kind: 'stage', event: 'stage',
    keys: { event_id: isText, stage: isText, outcome: isText, reason: isText, utc: isStamp, pid: isCount } },
  'nuvra.resident-startup-diagnostic.v1': { kind: 'resident',
    keys: { stage: isResidentStage, elapsed_ms: isNumber, remaining_ms: isNumber } },
  'nuvra.startup-timing.v1': { kind: 'trace', keys: { stage: isText, pid: isCount, monotonic_ms: isCount } },
};

const utf8 = new TextDecoder('utf-8', { fatal: true });

// The lines of a JSON-lines file with their byte offsets. A last line with
// no line feed was cut off by its writer.
export function splitLines(bytes) {
  const lines = [];
  for (let start = 0; start < bytes.length;) {
    const lf = bytes.indexOf(10, start);
    const end = lf < 0 ? bytes.length : lf;
    lines.push({ offset: start, bytes: bytes.subarray(start, end), ended: lf >= 0 });
    start = end + 1;
  }
  return lines;
}

// One line as a record, or the reason it is none. A writer stopped inside
// its record (killed, or its write cut short) leaves a fragment with no line
// end, and the next writer's whole record then follows it on the same line:
// that record is read, and `torn` holds the fragment's length and problem.
export function parseLine(line) {
  if (!line.ended) return { problem: 'it has no line end (cut off while written)' };
  const parsed = parseRecord(line.bytes);
  if (!parsed.unreadable) return parsed;
  for (let at = line.bytes.indexOf('{"', 1); at > 0; at = line.bytes.indexOf('{"', at + 1)) {
    const rest = parseRecord(line.bytes.subarray(at));
    if (!rest.problem) return { ...rest, torn: { length: at, problem: 'a record its writer left unfinished' } };
  }
  return parsed;
}

function parseRecord(bytes) {
  let text;
  try {
    text = utf8.decode(bytes);
  } catch {
    return { problem: 'it is not UTF-8', unreadable: true };
  }
  if (text === '') return { problem: 'it is empty' };
  let data;
  try {
    data = JSON.parse(text);
  } catch {
    return { problem: 'it is not JSON', unreadable: true };
  }
  if (!isObject(data)) return { problem: 'it is not a JSON object' };
  const shape = SHAPES[data.schema_version];
  if (!shape) return { kind: 'other', data };
  // The endpoint recovery's note of a stale file it removed is the resident's
  // own line, not a startup stage.
  if (shape.kind === 'resident' && data.stage === 'stale_endpoint_removed' && isText(data.file)) {
    return { kind: 'other', data };
  }
  if (shape.event && data.event !== shape.event) {
    return { problem: `a ${data.schema_version} record whose event is not "${shape.event}"` };
  }
  for (const [key, valid] of Object.entries(shape.keys)) {
    if (!valid(data[key])) return { problem: `a ${data.schema_version} record without a valid "${key}"` };
  }
  return { kind: shape.kind, data };
}

// The date of a log file name as the log writer names them, or null: 22
// characters, "nuvra-", a real calendar date, "-", an index 0 to 3, ".jsonl".
export function logFileDate(name) {
  const match = /^nuvra-(\d{4})(\d\d)(\d\d)-([0-3])\.jsonl$/.exec(name);
  if (!match) return null;
  const [year, month, day] = [Number(match[1]), Number(match[2]), Number(match[3])];
  const date = new Date(0);
  date.setUTCFullYear(year, month - 1, day);
  if (year < 1601 || date.getUTCFullYear() !== year || date.getUTCMonth() !== month - 1
    || date.getUTCDate() !== day) return null;
  return { date: match[1] + match[2] + match[3], index: Number(match[4]) };
}

const dateText = (ms) => new Date(ms).toISOString().slice(0, 10).replaceAll('-', '');
const sha256 = (text) => createHash('sha256').update(text).digest('hex');

function statOf(file) {
  try {
    return fs.statSync(file);
  } catch {
    return null;
  }
}

function listDirectory(directory) {
  try {
    return fs.readdirSync(directory);
  } catch {
    return [];
  }
}

// A phase audit file: one line of 18 tab-separated fields, then zero bytes
// up to 4096 in all; its name is the SHA-256 of the request line it serves.
export function parseAudit(name, bytes) {
  if (bytes.length < AUDIT_SIZE) return { torn: true, problem: `it holds ${bytes.length} of its ${AUDIT_SIZE} bytes` };
  if (bytes.length > AUDIT_SIZE) return { problem: `it holds ${bytes.length} bytes, not ${AUDIT_SIZE}` };
  const lf = bytes.indexOf(10);
  if (lf < 0) return { problem: 'its line has no line end' };
  if (bytes.subarray(lf + 1).some((byte) => byte !== 0)) return { problem: 'something follows its line' };
  const fields = bytes.toString('latin1', 0, lf).split('\t');
  if (fields.length !== AUDIT_FIELDS || fields[0] !== 'NUVRA_AUDIT_V3' || fields[1] !== 'server') {
    return { problem: 'its line is no server audit line' };
  }
  const requestLine = fields.slice(2, 9).join('\t');
  const hash = name.slice('phase-'.length, -'.bin'.length);
  if (sha256(requestLine) !== hash) return { problem: 'its name is not the hash of its request line' };
  const count = (text) => (text === 'null' ? null : Number(text));
  return {
    audit: {
      hash, requestLine, eventId: fields[2], requestId: fields[3], clientWork: fields[4],
      operation: fields[6], serverWork: fields[9], sequence: Number(fields[10]), phase: fields[11],
      reason: fields[12], effect: fields[13], countsComplete: fields[15] === '1',
      accountSends: count(fields[16]), memorySends: count(fields[17]),
    },
  };
}

function readFile(file) {
  try {
    return fs.readFileSync(file);
  } catch {
    return null;
  }
}

// Everything the home holds that tells its story, read once. `traceDirectory`
// is where startup traces are kept; `now` fixes the retention window.
export function readHome(home, { traceDirectory = TRACE_DIRECTORY, now = Date.now() } = {}) {
  if (!statOf(home)?.isDirectory()) throw new Error('home_unreadable');
  const evidence = {
    home, now, logFiles: [], records: [], audits: [], endpoint: null, traces: [], findings: [],
  };
  const finding = (code, file, offset, problem, at) => evidence.findings.push({
    code, file, offset, at, text: `${file} at byte ${offset}: ${problem}`,
  });

  // 1. The log files of the retention window, oldest first: by date, and
  // within a day from the highest rotation index down to the current file.
  const logs = path.join(home, 'logs');
  const cutoff = dateText(now - RETENTION_DAYS * DAY_MS);
  const names = listDirectory(logs).map((name) => ({ name, ...logFileDate(name) }))
    .filter((entry) => entry.date && entry.date >= cutoff)
    .sort((a, b) => (a.date === b.date ? b.index - a.index : a.date.localeCompare(b.date)));
  let seq = 0;
  for (const { name, date, index } of names) {
    const file = path.join('logs', name);
    const bytes = readFile(path.join(logs, name));
    const mtime = statOf(path.join(logs, name))?.mtimeMs ?? null;
    if (!bytes) {
      finding('line_unparsed', file, 0, 'the file cannot be read', mtime);
      continue;
    }
    evidence.logFiles.push({ file, date, index, size: bytes.length, mtime });
    for (const line of splitLines(bytes)) {
      const parsed = parseLine(line);
      if (parsed.problem) {
        finding('line_unparsed', file, line.offset, parsed.problem, mtime);
        continue;
      }
      if (parsed.torn) finding('line_unparsed', file, line.offset, parsed.torn.problem, mtime);
      evidence.records.push({
        kind: parsed.kind === 'trace' ? 'other' : parsed.kind, data: parsed.data, file,
        offset: line.offset + (parsed.torn?.length ?? 0),
        seq: seq++, at: isStamp(parsed.data.utc) ? Date.parse(parsed.data.utc) : null,
      });
    }
  }

  // 2. The sealed phase audits and the published endpoint record.
  const broker = path.join(home, 'state', 'broker');
  for (const name of listDirectory(broker).filter((entry) => /^phase-[0-9a-f]{64}\.bin$/.test(entry)).sort()) {
    const file = path.join('state', 'broker', name);
    const bytes = readFile(path.join(broker, name));
    const at = statOf(path.join(broker, name))?.mtimeMs ?? null;
    const parsed = bytes ? parseAudit(name, bytes) : { problem: 'the file cannot be read' };
    if (parsed.torn) finding('audit_torn', file, 0, parsed.problem, at);
    else if (parsed.problem) finding('line_unparsed', file, 0, parsed.problem, at);
    else evidence.audits.push({ ...parsed.audit, file, at });
  }
  const endpointFile = path.join(broker, 'endpoint.json');
  try {
    const record = JSON.parse(fs.readFileSync(endpointFile, 'utf8'));
    if (isCount(record.pid) && isCount(record.parent_pid)) {
      evidence.endpoint = {
        hostPid: record.pid, residentPid: record.parent_pid, at: statOf(endpointFile)?.mtimeMs ?? null,
        file: path.join('state', 'broker', 'endpoint.json'),
      };
    }
  } catch {
    // No published endpoint: the resident's and its host's process ids are
    // then not known.
  }

  // 3. The startup traces of the processes the home names, written while
  // the home was in use.
  const pids = new Set(evidence.records.filter((r) => r.kind === 'stage').map((r) => r.data.pid));
  if (evidence.endpoint) [evidence.endpoint.hostPid, evidence.endpoint.residentPid].forEach((pid) => pids.add(pid));
  const times = [...evidence.records.map((r) => r.at), ...evidence.audits.map((a) => a.at),
    ...evidence.logFiles.map((f) => f.mtime), evidence.endpoint?.at].filter((t) => typeof t === 'number');
  const [low, high] = [Math.min(...times) - TRACE_WINDOW_MS, Math.max(...times) + TRACE_WINDOW_MS];
  for (const name of (times.length ? listDirectory(traceDirectory) : []).sort()) {
    const match = /^([0-9a-f]{32})-(\d+)-native\.jsonl$/.exec(name);
    if (!match || !pids.has(Number(match[2]))) continue;
    const full = path.join(traceDirectory, name);
    const mtime = statOf(full)?.mtimeMs;
    if (!(mtime >= low && mtime <= high)) continue;
    const bytes = readFile(full);
    if (!bytes) continue;
    const trace = { file: full, attempt: match[1], pid: Number(match[2]), mtime, stages: [] };
    for (const line of splitLines(bytes)) {
      const parsed = parseLine(line);
      if (parsed.kind === 'trace' && parsed.data.pid === trace.pid) {
        trace.stages.push({ stage: parsed.data.stage, tick: parsed.data.monotonic_ms, offset: line.offset });
      } else {
        finding('line_unparsed', full, line.offset, parsed.problem ?? 'it is no trace line of this process', mtime);
      }
    }
    evidence.traces.push(trace);
  }
  return evidence;
}

// ---------------------------------------------------------------------------
// Joining

const short = (id) => (typeof id === 'string' && id ? id.slice(0, 8) : '-');
const plural = (n, word, words = `${word}s`) => `${n} ${n === 1 ? word : words}`;
const sends = (account, memory) => `${account ?? '?'} account / ${memory ?? '?'} memory sends`;

// The processes of the picture, one lane each: the resident and its host
// (their ids from the published endpoint record), each client runtime (from
// its stage records) and, for what names no process, one lane per role.
class Lanes {
  constructor() {
    this.byId = new Map();
  }

  lane(role, pid) {
    const id = pid === null || pid === undefined ? role : `${role} ${pid}`;
    if (!this.byId.has(id)) {
      const label = pid === null || pid === undefined ? `${role} (process not recorded)` : `${role} pid ${pid}`;
      this.byId.set(id, { id, role, pid: pid ?? null, label });
    }
    return id;
  }

  ordered(used) {
    const rank = { resident: 0, host: 1, client: 2, runtime: 3 };
    return [...this.byId.values()].filter((lane) => used.has(lane.id))
      .sort((a, b) => rank[a.role] - rank[b.role] || (a.pid ?? Infinity) - (b.pid ?? Infinity));
  }
}

// Milliseconds to add to a tick of the startup traces to place it on the
// clock of the records: a trace file was last written at its last tick, so
// its modification time less that tick is an upper bound of the offset; the
// smallest bound of all traces is the closest.
function tickOffset(traces) {
  let best = null;
  for (const trace of traces) {
    if (!trace.stages.length) continue;
    const bound = trace.mtime - Math.max(...trace.stages.map((s) => s.tick));
    if (best === null || bound < best) best = bound;
  }
  return best;
}

// The resident checkpoints of the log as runs, one per resident startup: a
// stage seen again, or anything after a refused publication, starts the
// next run.
function residentRuns(records) {
  const runs = [];
  let run = null;
  for (const record of records.filter((r) => r.kind === 'resident')) {
    const stage = record.data.stage;
    if (!run || run.refused || run.stages.has(stage)) {
      run = { records: [], stages: new Set(), refused: null };
      runs.push(run);
    }
    run.records.push(record);
    if (stage === 'publication_refused') run.refused = record;
    else run.stages.add(stage);
  }
  return runs;
}

function startupEvents(trace, offset, lane) {
  const events = trace.stages.map((s) => ({
    type: 'trace', at: s.tick + offset, approx: true, lane, text: `startup trace: ${s.stage}`,
    failed: s.stage.startsWith('publication_refused_'),
  }));
  const entry = trace.stages.find((s) => s.stage === 'native_profile_entry');
  const ack = trace.stages.find((s) => s.stage === 'startup_ack_sent');
  if (entry && ack) {
    events.push({
      type: 'startup', span: true, at: entry.tick + offset, end: ack.tick + offset, approx: true, lane,
      text: `runtime startup: ${ack.tick - entry.tick} ms from the first native call to the acknowledgement`,
    });
  }
  return events;
}

// A resident checkpoint carries no clock stamp, only its time since the
// resident's first native call; the run is placed by the resident's trace,
// else by its publication (the endpoint file), else just before the next
// stamped record, else at its log file's last write.
function anchorRun(run, context) {
  const { evidence, offset, residentTrace, published } = context;
  const elapsed = (record) => record.data.elapsed_ms;
  const entry = residentTrace?.stages.find((s) => s.stage === 'native_profile_entry');
  if (run === published && entry && offset !== null) return (record) => entry.tick + offset + elapsed(record);
  const publish = run.records.find((r) => r.data.stage === 'publish');
  if (run === published && publish && evidence.endpoint?.at) {
    return (record) => evidence.endpoint.at - (elapsed(publish) - elapsed(record));
  }
  const last = run.records[run.records.length - 1];
  const latest = Math.max(...run.records.map(elapsed));
  const next = evidence.records.find((r) => r.seq > last.seq && r.at !== null);
  const anchor = next?.at ?? evidence.logFiles.find((f) => f.file === last.file)?.mtime ?? evidence.now;
  return (record) => anchor - (latest - elapsed(record));
}

function residentStories(evidence, offset, lanes) {
  const runs = residentRuns(evidence.records);
  const endpoint = evidence.endpoint;
  const published = endpoint ? runs.filter((run) => run.stages.has('publish') && !run.refused).pop() : undefined;
  const residentTrace = endpoint ? evidence.traces.find((t) => t.pid === endpoint.residentPid) : undefined;
  const stories = runs.map((run, n) => {
    const at = anchorRun(run, { evidence, offset, residentTrace, published });
    const lane = lanes.lane('resident', run === published ? endpoint.residentPid : null);
    const events = run.records.map((record) => {
      const d = record.data;
      if (record === run.refused) {
        return {
          type: 'resident', at: at(record), approx: true, lane, failed: true, reason: d.error_code ?? null,
          text: `publication refused after ${d.elapsed_ms} ms, ${d.remaining_ms} ms of the ceiling left`,
        };
      }
      return {
        type: 'resident', at: at(record), approx: true, lane,
        text: `checkpoint ${d.stage} at ${d.elapsed_ms} ms, ${d.remaining_ms} ms of the ceiling left`,
      };
    });
    if (run === published && residentTrace && offset !== null) events.push(...startupEvents(residentTrace, offset, lane));
    const times = events.map((e) => e.at);
    events.push({
      type: 'resident_startup', span: true, at: Math.min(...times), end: Math.max(...times), approx: true, lane,
      failed: Boolean(run.refused), text: 'resident startup',
    });
    if (run === published && endpoint.at) {
      events.push({
        type: 'resident', at: endpoint.at, lane: lanes.lane('host', endpoint.hostPid),
        text: `its endpoint is published (${endpoint.file}): host pid ${endpoint.hostPid} serves it`,
      });
    }
    const anomalies = [];
    const first = (stage) => run.records.find((r) => r.data.stage === stage);
    if (run.refused) {
      anomalies.push({
        code: 'publication_refused', file: run.refused.file, offset: run.refused.offset,
        text: `the resident's publication was refused [${run.refused.data.error_code}] after ${run.refused.data.elapsed_ms} ms`,
      });
    }
    // A stage missing before one that was taken: the gap is shown at the
    // first stage taken after it.
    const present = RESIDENT_STAGES.filter((stage) => run.stages.has(stage));
    const latest = present[present.length - 1];
    const missing = RESIDENT_STAGES.slice(0, RESIDENT_STAGES.indexOf(latest)).filter((s) => !run.stages.has(s));
    if (latest && missing.length) {
      const after = RESIDENT_STAGES.slice(RESIDENT_STAGES.indexOf(missing[0]) + 1).find((s) => run.stages.has(s));
      anomalies.push({
        code: 'resident_checkpoint_gap', file: first(after).file, offset: first(after).offset,
        text: `the resident's checkpoints skip ${missing.join(', ')}: ${after} was taken without ${missing[0]}`,
      });
    }
    const lastRecord = run.records[run.records.length - 1];
    const followed = evidence.records.some((r) => r.seq > lastRecord.seq);
    if (!run.stages.has('publish') && !run.refused && followed) {
      anomalies.push({
        code: 'resident_checkpoint_gap', file: lastRecord.file, offset: lastRecord.offset,
        text: `the resident's checkpoints stop after ${lastRecord.data.stage}: neither its publication nor a refusal follows`,
      });
    }
    const outcome = run.refused ? `publication refused [${run.refused.data.error_code}]`
      : run.stages.has('publish') ? 'published' : `stopped after ${lastRecord.data.stage}`;
    return {
      kind: 'resident', id: `resident-${n + 1}`, ids: [`resident-${n + 1}`], operation: null,
      title: `resident startup${run === published ? `, pid ${endpoint.residentPid}` : ''}: ${outcome}`,
      ok: run.stages.has('publish') && !run.refused, events, anomalies,
    };
  });
  return { stories, publishedStart: published ? Math.min(...stories[runs.indexOf(published)].events.map((e) => e.at)) : null };
}

class Joiner {
  constructor() {
    this.parent = new Map();
  }

  find(key) {
    if (!this.parent.has(key)) this.parent.set(key, key);
    let root = key;
    while (this.parent.get(root) !== root) root = this.parent.get(root);
    this.parent.set(key, root);
    return root;
  }

  join(keys) {
    const [first, ...rest] = keys.filter(Boolean);
    for (const key of rest) this.parent.set(this.find(key), this.find(first));
    return first;
  }
}

// Each record names what joins it to the others of its operation: the
// operation id of a checkpoint and its terminal record, the request id of
// the records of both sides and of the exchange's stage records, the
// diagnostic event of the stage records and of the request line, and the
// SHA-256 of the request line that the evidence and the audit's name carry.
function joinKeys(item) {
  if (item.audit) return [`corr:${item.audit.hash}`, `rid:${item.audit.requestId}`, `ev:${item.audit.eventId}`];
  const d = item.data;
  const rid = isText(d.request_id) ? `rid:${d.request_id}` : null;
  if (item.kind === 'checkpoint') return [`op:${d.operation_id}`, rid];
  if (item.kind === 'terminal') {
    return [`op:${d.operation_id}`, rid, isText(d.client?.correlation_hash) && `corr:${d.client.correlation_hash}`,
      isText(d.server?.correlation_hash) && `corr:${d.server.correlation_hash}`];
  }
  return [`ev:${d.event_id}`, isText(d.transport_request_id) && `rid:${d.transport_request_id}`];
}

const roleOf = (terminal) => (terminal?.data.client ? 'client'
  : terminal?.data.server?.source === 'native_server_owner' ? 'server' : null);

function workSpan(terminal, lane, type) {
  const d = terminal.data;
  const utc = Date.parse(d.utc);
  const start = utc - d.elapsed.operation_ms;
  const ended = start + d.elapsed.work_ms + d.elapsed.end_ms;
  return {
    type, span: true, at: start, end: Math.max(start, ended), lane, failed: !d.ok,
    text: `${type === 'server_work' ? 'server work' : 'work'}: ${d.elapsed.work_ms} ms of a ${d.elapsed.original_budget_ms} ms budget, its end ${d.elapsed.end_ms} ms`,
  };
}

function clientEvidenceText(c, v1) {
  const dispatched = c.dispatch_submitted === true ? 'dispatched' : c.no_dispatch_proven === true ? 'proven not dispatched' : 'dispatch unknown';
  const note = v1 ? ' (version 1: no phase frames, so no phase is proven)' : '';
  return `client evidence: last phase ${c.last_verified_phase}, ${dispatched}, effect ${c.effect_certainty}, `
    + `retry may duplicate: ${c.retry_may_duplicate ? 'yes' : 'no'}${note}`;
}

function serverEvidenceText(s) {
  if (s.source === 'authenticated_terminal_frame') {
    return `the broker's view: ${s.last_verified_phase} [${s.server_reason ?? 'none'}], ${sends(s.account_send_count, s.memory_send_count)}`;
  }
  return `server evidence: server work ${s.server_work}, phase ${s.last_verified_phase}${s.terminal_sealed ? ', sealed' : ''}, `
    + `${s.counts_complete ? sends(s.account_send_count, s.memory_send_count) : 'counts incomplete'}, audit ${s.logging_status}`;
}

// What each terminal record's evidence says against what the stage records
// and the sealed audit of its request show.
function contradictions(ops, exchangeStages, audits) {
  const written = exchangeStages.find((s) => s.data.stage === 'profile_request_written' && s.data.outcome === 'succeeded');
  const exchangeFailed = exchangeStages.find((s) => s.data.stage === 'profile_exchange_terminal' && s.data.outcome === 'failed');
  const found = [];
  const contradiction = (terminal, text) => found.push({
    code: 'evidence_contradicts_stages', file: terminal.file, offset: terminal.offset, text,
  });
  for (const op of ops.values()) {
    const d = op.terminal?.data;
    if (!d) continue;
    const c = d.client;
    if (c && isText(c.correlation_hash) && written
      && (c.last_verified_phase === 'never_sent' || c.no_dispatch_proven === true || c.dispatch_submitted === false)) {
      contradiction(op.terminal, `operation ${short(op.id)}: its client evidence says "${c.last_verified_phase}"`
        + `${c.no_dispatch_proven === true ? ' with no dispatch proven' : ''}, and its request was written (${written.file} at byte ${written.offset})`);
    }
    if (c && d.ok && exchangeFailed) {
      contradiction(op.terminal, `operation ${short(op.id)} is recorded ok, and its exchange failed (${exchangeFailed.file} at byte ${exchangeFailed.offset})`);
    }
    const audit = audits.find((a) => a.hash === c?.correlation_hash || a.hash === d.server?.correlation_hash);
    const s = d.server;
    if (s?.source === 'authenticated_terminal_frame' && audit) {
      const counts = [[s.account_send_count, audit.accountSends, 'account'], [s.memory_send_count, audit.memorySends, 'memory']]
        .filter(([frame, sealed]) => isCount(frame) && isCount(sealed) && frame !== sealed);
      for (const [frame, sealed, what] of counts) {
        contradiction(op.terminal, `operation ${short(op.id)}: the broker's terminal frame counts ${frame} ${what} sends, its sealed audit ${sealed} (${audit.file})`);
      }
      if ((s.server_reason ?? 'none') === 'none' && audit.reason !== 'none') {
        contradiction(op.terminal, `operation ${short(op.id)}: the broker's terminal frame says done, its sealed audit [${audit.reason}] (${audit.file})`);
      }
    }
    if (s?.source === 'native_server_owner' && s.logging_status === 'recorded' && isText(s.correlation_hash)
      && !audits.some((a) => a.hash === s.correlation_hash)) {
      contradiction(op.terminal, `operation ${short(op.id)}: its server evidence says its phase audit was recorded, and there is no audit phase-${short(s.correlation_hash)}...bin`);
    }
  }
  return found;
}

function operationStory(items, lanes, placeServer) {
  const pick = (kind) => items.filter((item) => item.kind === kind);
  const [checkpoints, terminals, stages, audits] = [pick('checkpoint'), pick('terminal'), pick('stage'),
    items.filter((item) => item.audit).map((item) => item.audit)];
  const exchangeStages = stages.filter((s) => isText(s.data.transport_operation));
  const ops = new Map();
  for (const item of [...checkpoints, ...terminals]) {
    const id = item.data.operation_id;
    const op = ops.get(id) ?? { id, operation: item.data.operation, checkpoint: null, terminal: null };
    op[item.kind] = op[item.kind] ?? item;
    ops.set(id, op);
  }
  for (const op of ops.values()) op.role = roleOf(op.terminal);
  const has = (role) => [...ops.values()].some((op) => op.role === role);
  const [hasClient, hasServer] = [has('client'), has('server')];
  for (const op of ops.values()) {
    if (op.role) continue;
    if (!hasClient && stages.length) op.role = 'client';
    else if (hasClient && !hasServer) op.role = 'server';
    else op.role = 'runtime';
  }
  const clientPid = (exchangeStages[0] ?? stages[0])?.data.pid ?? null;
  const laneOf = (role, at) => (role === 'client' ? lanes.lane('client', clientPid)
    : role === 'server' ? placeServer('resident', at) : lanes.lane('runtime', null));
  const clientOp = [...ops.values()].find((op) => op.role === 'client');
  const v1 = stages.some((s) => s.data.stage === 'profile_response_first_byte' || s.data.stage === 'profile_response_complete');
  const events = [];
  const anomalies = [];

  for (const op of ops.values()) {
    const name = `operation ${short(op.id)}`;
    if (op.checkpoint) {
      const at = op.checkpoint.at;
      // A checkpoint that no terminal record follows is an outcome lost.
      events.push({
        type: 'checkpoint', at, lane: laneOf(op.role, at), failed: !op.terminal,
        text: `checkpoint: ${name} pending (${op.role} side)${op.terminal ? '' : ', and no terminal record follows'}`,
      });
    }
    if (op.terminal) {
      const d = op.terminal.data;
      const at = op.terminal.at;
      const lane = laneOf(op.role, at);
      const evidence = [d.client && clientEvidenceText(d.client, v1 && !isText(d.client.correlation_hash)),
        d.server && serverEvidenceText(d.server)].filter(Boolean).join('; ');
      events.push({
        type: 'terminal', at, lane, failed: !d.ok, reason: d.reason,
        text: `terminal record of the ${op.role} side: ${name} ${d.ok ? 'ok' : 'failed'}, ${d.state}${evidence ? `; ${evidence}` : ''}`,
      });
      events.push(workSpan(op.terminal, lane, op.role === 'server' ? 'server_work' : 'work'));
    } else if (op.checkpoint) {
      anomalies.push({
        code: 'checkpoint_without_terminal', file: op.checkpoint.file, offset: op.checkpoint.offset,
        text: `${name} has a checkpoint and no terminal record: its outcome was lost (or it is still running)`,
      });
    }
  }

  for (const s of stages) {
    const d = s.data;
    // The byte counts and the time left say something where the request
    // and the response end, or where it failed.
    const telling = d.outcome === 'failed' || ['profile_request_written', 'profile_response_complete',
      'profile_exchange_terminal'].includes(d.stage);
    const bytes = telling && isCount(d.pipe_bytes_written) ? `, ${d.pipe_bytes_written} bytes out, ${d.pipe_bytes_read} in` : '';
    const left = telling && isNumber(d.remaining_work_ms) ? `, ${d.remaining_work_ms} ms of the work left` : '';
    const failedWin32 = d.outcome === 'failed' && d.native_win32_error ? `, Windows error ${d.native_win32_error}` : '';
    events.push({
      type: 'stage', at: s.at, lane: lanes.lane('client', d.pid), failed: d.outcome === 'failed', reason: d.reason,
      text: `${EXCHANGE_WORDS[d.stage] ?? `${d.stage} ${d.outcome}`}${d.outcome === 'failed' ? ' (failed)' : ''}${bytes}${left}${failedWin32}`,
    });
  }
  if (exchangeStages.length) {
    const at = (stage) => exchangeStages.find((s) => s.data.stage === stage)?.at;
    const start = at('profile_pipe_connected') ?? exchangeStages[0].at;
    const end = at('profile_exchange_terminal') ?? exchangeStages[exchangeStages.length - 1].at;
    events.push({
      type: 'exchange', span: true, at: start, end: Math.max(start, end), lane: placeServer('host', start),
      failed: exchangeStages.some((s) => s.data.outcome === 'failed'),
      text: `version ${v1 ? 1 : 2} exchange with client pid ${exchangeStages[0].data.pid}: ${exchangeStages[0].data.transport_operation}`,
    });
  }
  for (const a of audits) {
    events.push({
      type: 'audit', at: a.at, lane: placeServer('resident', a.at), failed: a.reason !== 'none', reason: a.reason,
      text: `phase audit sealed by server work ${a.serverWork} for client work ${a.clientWork}: ${a.phase}, effect ${a.effect}, `
        + `${a.countsComplete ? sends(a.accountSends, a.memorySends) : 'counts incomplete'} (${a.file})`,
    });
  }

  anomalies.push(...contradictions(ops, exchangeStages, audits));
  if (audits.length && !clientOp && !exchangeStages.length) {
    for (const a of audits) {
      anomalies.push({
        code: 'audit_without_client', file: a.file, offset: 0,
        text: `server work ${a.serverWork} served a "${a.operation}" request of client work ${a.clientWork}, and no client record of that request is in the logs`,
      });
    }
  }

  // A terminal operation is named for its diagnostic event's scope
  // ("worker", "mcp"); the request names what was asked.
  const main = clientOp ?? [...ops.values()][0];
  const operation = exchangeStages[0]?.data.transport_operation ?? audits[0]?.operation ?? main?.operation ?? null;
  const id = main?.id ?? audits[0]?.hash ?? exchangeStages[0]?.data.transport_request_id ?? stages[0]?.data.event_id;
  const failed = events.some((e) => e.failed);
  const ended = [...ops.values()].filter((op) => op.terminal);
  const ok = failed ? false : ended.length && ended.length === ops.size ? true : null;
  const verdict = main?.terminal ? `${main.terminal.data.ok ? 'ok' : 'failed'}, ${main.terminal.data.state} [${main.terminal.data.reason}]`
    : ok === false ? 'failed' : 'no terminal record';
  const what = main ? `operation ${short(main.id)}` : audits.length ? `request ${short(audits[0].requestId)}` : `exchange ${short(id)}`;
  const ids = [...ops.keys(), ...audits.flatMap((a) => [a.hash, a.requestId]),
    ...stages.flatMap((s) => [s.data.event_id, s.data.transport_request_id]),
    ...terminals.flatMap((t) => [t.data.request_id, t.data.client?.correlation_hash, t.data.server?.correlation_hash]),
    ...checkpoints.map((c) => c.data.request_id)].filter(isText);
  return {
    kind: 'operation', id, ids: [...new Set(ids)], operation,
    title: `${operation ?? 'an exchange'}, ${what}${clientPid !== null ? ` (client pid ${clientPid})` : ''}: ${verdict}`,
    ok, events, anomalies,
    sides: [...ops.values()].map((op) => ({
      role: op.role, operation_id: op.id, operation: op.operation, terminal: Boolean(op.terminal),
      ok: op.terminal?.data.ok ?? null, state: op.terminal?.data.state ?? null, reason: op.terminal?.data.reason ?? null,
    })),
    audits: audits.map((a) => ({ file: a.file, server_work: a.serverWork, phase: a.phase, reason: a.reason })),
  };
}

function operationStories(evidence, lanes, placeServer) {
  const items = [...evidence.records.filter((r) => ['checkpoint', 'terminal', 'stage'].includes(r.kind)),
    ...evidence.audits.map((audit) => ({ audit }))];
  const joiner = new Joiner();
  const roots = items.map((item) => joiner.join(joinKeys(item)));
  const groups = new Map();
  items.forEach((item, i) => {
    const root = joiner.find(roots[i]);
    if (!groups.has(root)) groups.set(root, []);
    groups.get(root).push(item);
  });
  return [...groups.values()].map((group) => operationStory(group, lanes, placeServer));
}

function startupStories(evidence, offset, lanes, residentTraced) {
  if (offset === null) return [];
  return evidence.traces.filter((trace) => !(residentTraced && trace.pid === evidence.endpoint?.residentPid))
    .map((trace) => {
      const role = trace.pid === evidence.endpoint?.hostPid ? 'host'
        : trace.pid === evidence.endpoint?.residentPid ? 'resident' : 'client';
      const lane = lanes.lane(role, trace.pid);
      return {
        kind: 'startup', id: `${trace.attempt}-${trace.pid}`, ids: [trace.attempt], operation: null,
        title: `${role} runtime startup, pid ${trace.pid} (trace ${path.basename(trace.file)})`,
        ok: null, events: startupEvents(trace, offset, lane), anomalies: [],
      };
    });
}

const storyStart = (story) => Math.min(...story.events.map((e) => e.at).filter((t) => typeof t === 'number'));
const storyEnd = (story) => Math.max(...story.events.map((e) => e.end ?? e.at).filter((t) => typeof t === 'number'));

// The stories of the home in time order, with what was found amiss.
// Filters: `since` (ms; stories that began then or later), `operation` (the
// start of an operation id, request id, correlation hash or story id) and
// `failed` (only stories that failed or hold an anomaly).
export function buildTimeline(evidence, { since = null, operation = null, failed = false } = {}) {
  const offset = tickOffset(evidence.traces);
  const lanes = new Lanes();
  const resident = residentStories(evidence, offset, lanes);
  const endpoint = evidence.endpoint;
  // Server works and exchanges belong to the published resident and its
  // host once it started; what came before names no process.
  const placeServer = (role, at) => {
    const known = endpoint && (resident.publishedStart === null || at === null || at >= resident.publishedStart);
    return lanes.lane(role, known ? (role === 'host' ? endpoint.hostPid : endpoint.residentPid) : null);
  };
  const residentTraced = resident.stories.some((s) => s.events.some((e) => e.type === 'trace'));
  let stories = [...resident.stories, ...operationStories(evidence, lanes, placeServer),
    ...startupStories(evidence, offset, lanes, residentTraced)];
  for (const story of stories) {
    story.start = storyStart(story);
    story.end = storyEnd(story);
    story.events.sort((a, b) => a.at - b.at);
  }
  stories.sort((a, b) => a.start - b.start || a.id.localeCompare(b.id));
  if (since !== null) stories = stories.filter((s) => s.start >= since);
  if (operation) stories = stories.filter((s) => s.ids.some((id) => id.startsWith(operation)));
  if (failed) stories = stories.filter((s) => s.ok === false || s.anomalies.length);
  const findings = evidence.findings.filter((f) => !operation && (since === null || f.at === null || f.at >= since));
  const used = new Set(stories.flatMap((s) => s.events.map((e) => e.lane)));
  const times = stories.flatMap((s) => [s.start, s.end]);
  return {
    home: evidence.home, stories, findings, lanes: lanes.ordered(used),
    anomalies: [...stories.flatMap((s) => s.anomalies.map((a) => ({ ...a, story: s.id }))), ...findings],
    start: times.length ? Math.min(...times) : null, end: times.length ? Math.max(...times) : null,
    read: {
      logFiles: evidence.logFiles.map((f) => f.file), records: evidence.records.length,
      audits: evidence.audits.length, traces: evidence.traces.map((t) => t.file),
      endpoint: endpoint ? { host_pid: endpoint.hostPid, resident_pid: endpoint.residentPid } : null,
    },
  };
}

// ---------------------------------------------------------------------------
// Telling

const iso = (ms) => (typeof ms === 'number' && Number.isFinite(ms) ? new Date(ms).toISOString() : null);
const clock = (ms) => iso(ms)?.slice(11, 23) ?? '--:--:--.---';

export function formatText(timeline) {
  const out = [`timeline of ${timeline.home}`];
  const r = timeline.read;
  out.push(`  read ${plural(r.logFiles.length, 'log file')} (${plural(r.records, 'record')})`
    + `${r.logFiles.length ? `: ${r.logFiles.join(', ')}` : ''}`);
  out.push(`  ${plural(r.audits, 'phase audit')}, ${plural(r.traces.length, 'startup trace')}, `
    + `${r.endpoint ? `the endpoint of resident pid ${r.endpoint.resident_pid} and host pid ${r.endpoint.host_pid}` : 'no published endpoint'}`);
  out.push('  (~ marks a time placed from elapsed times or trace ticks rather than a clock stamp)');
  const width = Math.max(0, ...timeline.lanes.map((lane) => lane.id.length));
  for (const story of timeline.stories) {
    out.push('', `${iso(story.start)}  ${story.title}`);
    for (const e of story.events) {
      const reason = e.reason ? `  [${e.reason}]` : '';
      const during = e.span ? ` (${Math.round(e.end - e.at)} ms)` : '';
      out.push(`  ${clock(e.at)}${e.approx ? '~' : ' '} ${e.lane.padEnd(width)}  ${e.failed ? 'FAILED ' : ''}${e.text}${during}${reason}`);
    }
    for (const a of story.anomalies) out.push(`  ! ${a.code}: ${a.text}`);
  }
  if (timeline.findings.length) {
    out.push('', 'in the files:');
    for (const f of timeline.findings) out.push(`  ! ${f.code}: ${f.text}`);
  }
  out.push('', `${plural(timeline.stories.length, 'story', 'stories')}, ${plural(timeline.anomalies.length, 'anomaly', 'anomalies')}`);
  if (timeline.anomalies.length) {
    const counts = new Map();
    for (const a of timeline.anomalies) counts.set(a.code, (counts.get(a.code) ?? 0) + 1);
    for (const [code, n] of counts) out.push(`  ${n} x ${code}: ${ANOMALIES[code]}`);
  }
  return out.join('\n');
}

// The same as JSON lines: one per story, one per finding in the files and a
// closing summary.
export function formatJsonLines(timeline) {
  const event = (e) => ({
    at: iso(e.at), ...(e.span ? { end: iso(e.end) } : {}), approximate: Boolean(e.approx), lane: e.lane,
    type: e.type, failed: Boolean(e.failed), reason: e.reason ?? null, text: e.text,
  });
  const lines = timeline.stories.map((s) => ({
    type: 'story', kind: s.kind, id: s.id, operation: s.operation, start: iso(s.start), end: iso(s.end),
    ok: s.ok, title: s.title, ...(s.sides ? { sides: s.sides, audits: s.audits } : {}),
    events: s.events.map(event), anomalies: s.anomalies,
  }));
  lines.push(...timeline.findings.map((f) => ({ type: 'anomaly', code: f.code, file: f.file, offset: f.offset, text: f.text })));
  const counts = {};
  for (const a of timeline.anomalies) counts[a.code] = (counts[a.code] ?? 0) + 1;
  lines.push({
    type: 'summary', home: timeline.home, stories: timeline.stories.length, anomalies: timeline.anomalies.length,
    by_code: counts, lanes: timeline.lanes.map((lane) => lane.label), read: timeline.read,
  });
  return lines.map((line) => JSON.stringify(line)).join('\n');
}

// ---------------------------------------------------------------------------
// Drawing

const COLOURS = {
  work: ['#4e79a7', 'client work'],
  exchange: ['#59a14f', 'exchange through the host'],
  server_work: ['#b07aa1', 'server work'],
  resident_startup: ['#9c755f', 'resident startup'],
  startup: ['#bab0ac', 'runtime startup'],
  checkpoint: ['#f28e2b', 'operation checkpoint'],
  terminal: ['#2f6f3e', 'terminal record'],
  stage: ['#76717a', 'exchange stage record'],
  audit: ['#7a4ea3', 'sealed phase audit'],
  resident: ['#5a4636', 'resident checkpoint'],
  trace: ['#8c8c8c', 'startup trace checkpoint'],
};
const FAILURE = '#d62728';

// Spans of one lane in rows, so that none overlaps another of its row.
function packRows(spans) {
  const rowEnds = [];
  const rows = new Map();
  for (const span of [...spans].sort((a, b) => a.at - b.at)) {
    let row = rowEnds.findIndex((end) => end <= span.at);
    if (row < 0) row = rowEnds.push(0) - 1;
    rowEnds[row] = span.end;
    rows.set(span, row);
  }
  return { rows, count: rowEnds.length };
}

function laneLayout(timeline) {
  const events = timeline.stories.flatMap((s) => s.events.map((e) => ({ ...e, story: s.id })));
  return timeline.lanes.map((lane) => {
    const own = events.filter((e) => e.lane === lane.id);
    const spans = own.filter((e) => e.span);
    return { lane, spans, marks: own.filter((e) => !e.span), ...packRows(spans) };
  });
}

// XML 1.0 allows no control characters but tab and line ends, and no lone
// surrogates; record texts can hold anything.
const xml = (text) => String(text).replace(/[\u0000-\u0008\u000b\u000c\u000e-\u001f\ufffe\uffff]|[\ud800-\udbff](?![\udc00-\udfff])|(?<![\ud800-\udbff])[\udc00-\udfff]/g, '\ufffd')
  .replaceAll('&', '&amp;').replaceAll('<', '&lt;').replaceAll('>', '&gt;').replaceAll('"', '&quot;').replaceAll("'", '&apos;');

function niceStep(range) {
  const raw = range / 10;
  const power = 10 ** Math.floor(Math.log10(raw));
  return [1, 2, 5, 10].map((m) => m * power).find((step) => step >= raw);
}

const during = (ms) => (Math.abs(ms) < 1000 ? `${Math.round(ms)} ms` : Math.abs(ms) < 120000 ? `${(ms / 1000).toFixed(ms % 1000 ? 1 : 0)} s`
  : `${(ms / 60000).toFixed(1)} min`);

function markShape(e, x, y) {
  const colour = e.failed ? FAILURE : COLOURS[e.type][0];
  const tip = `<title>${xml(`${clock(e.at)}${e.approx ? '~' : ''} ${e.text}${e.reason ? ` [${e.reason}]` : ''}`)}</title>`;
  const f = (n) => n.toFixed(1);
  switch (e.type) {
    case 'checkpoint': return `<circle cx="${f(x)}" cy="${f(y)}" r="4.5" fill="${colour}">${tip}</circle>`;
    case 'terminal': return `<polygon points="${f(x)},${f(y - 6)} ${f(x + 6)},${f(y)} ${f(x)},${f(y + 6)} ${f(x - 6)},${f(y)}" fill="${colour}">${tip}</polygon>`;
    case 'audit': return `<rect x="${f(x - 4)}" y="${f(y - 4)}" width="8" height="8" fill="${colour}">${tip}</rect>`;
    case 'resident': return `<polygon points="${f(x)},${f(y - 5)} ${f(x + 5)},${f(y + 4)} ${f(x - 5)},${f(y + 4)}" fill="${colour}">${tip}</polygon>`;
    case 'trace': return `<circle cx="${f(x)}" cy="${f(y)}" r="3" fill="none" stroke="${colour}" stroke-width="1.5">${tip}</circle>`;
    default: return `<rect x="${f(x - 1)}" y="${f(y - 6)}" width="2" height="12" fill="${colour}">${tip}</rect>`;
  }
}

// One self-contained SVG: no script, no link, no external font or image.
export function renderSvg(timeline) {
  const [width, left, right, top, row] = [1400, 240, 40, 78, 16];
  const plot = width - left - right;
  const layout = laneLayout(timeline);
  const t0 = timeline.start ?? 0;
  const range = Math.max(1, (timeline.end ?? t0) - t0);
  const x = (t) => left + ((t - t0) / range) * plot;
  // Lane backgrounds first, the axis' grid over them, the lanes' content
  // over both.
  const [backgrounds, body] = [[], []];
  let y = top;
  for (const [n, { lane, spans, marks, rows, count }] of layout.entries()) {
    const height = 30 + Math.max(1, count) * row;
    backgrounds.push(`<rect x="0" y="${y}" width="${width}" height="${height}" fill="${n % 2 ? '#ffffff' : '#f4f4f6'}"/>`);
    body.push(`<g class="lane" data-lane="${xml(lane.id)}">`,
      `<text x="10" y="${y + 20}" font-size="13" fill="#222">${xml(lane.label)}</text>`);
    for (const span of spans) {
      const [x0, x1] = [x(span.at), Math.max(x(span.end), x(span.at) + 2)];
      const colour = span.failed ? FAILURE : COLOURS[span.type][0];
      body.push(`<rect x="${x0.toFixed(1)}" y="${y + 26 + rows.get(span) * row}" width="${(x1 - x0).toFixed(1)}" height="${row - 4}" rx="2" fill="${colour}" fill-opacity="0.85">`
        + `<title>${xml(`${clock(span.at)}${span.approx ? '~' : ''} ${span.text} (${during(span.end - span.at)})`)}</title></rect>`);
    }
    for (const mark of marks) body.push(markShape(mark, x(mark.at), y + 14));
    body.push('</g>');
    y += height;
  }
  const axis = [];
  const step = niceStep(range);
  for (let t = 0; t <= range + 1e-9; t += step) {
    const at = x(t0 + t);
    axis.push(`<line x1="${at.toFixed(1)}" y1="${top - 8}" x2="${at.toFixed(1)}" y2="${y}" stroke="#d0d0d6" stroke-width="1"/>`,
      `<text x="${at.toFixed(1)}" y="${top - 12}" font-size="11" text-anchor="middle" fill="#444">${range > 120000 ? clock(t0 + t).slice(0, 8) : `+${during(t)}`}</text>`);
  }
  const legend = [];
  const entries = [...Object.values(COLOURS), [FAILURE, 'failure']];
  entries.forEach(([colour, label], i) => {
    const [lx, ly] = [10 + (i % 6) * 225, y + 26 + Math.floor(i / 6) * 20];
    legend.push(`<rect x="${lx}" y="${ly - 10}" width="14" height="10" fill="${colour}"/>`,
      `<text x="${lx + 20}" y="${ly}" font-size="12" fill="#222">${xml(label)}</text>`);
  });
  const height = y + 26 + Math.ceil(entries.length / 6) * 20 + 10;
  const anomalies = timeline.anomalies.length;
  return [
    '<?xml version="1.0" encoding="UTF-8"?>',
    `<svg xmlns="http://www.w3.org/2000/svg" width="${width}" height="${height}" viewBox="0 0 ${width} ${height}" font-family="sans-serif">`,
    `<title>${xml(`timeline of ${timeline.home}`)}</title>`,
    `<rect x="0" y="0" width="${width}" height="${height}" fill="#ffffff"/>`,
    `<text x="10" y="22" font-size="15" font-weight="bold" fill="#222">${xml(`timeline of ${timeline.home}`)}</text>`,
    `<text x="10" y="42" font-size="12" fill="${anomalies ? FAILURE : '#444'}">${xml(`from ${iso(timeline.start) ?? '-'} to ${iso(timeline.end) ?? '-'}; `
      + `${plural(timeline.stories.length, 'story', 'stories')}, ${plural(anomalies, 'anomaly', 'anomalies')}; ~ marks placed times`)}</text>`,
    ...backgrounds, ...axis, ...body,
    `<g class="legend">${legend.join('')}</g>`,
    '</svg>', '',
  ].join('\n');
}

// The same as trace-event JSON: a process per lane, complete events for the
// spans and instant events for the marks, microseconds since the start.
export function renderTrace(timeline) {
  const t0 = timeline.start ?? 0;
  const us = (ms) => Math.round((ms - t0) * 1000);
  const events = [];
  for (const [n, { lane, spans, marks, rows }] of laneLayout(timeline).entries()) {
    const pid = lane.pid ?? 1000000 + n;
    events.push({ ph: 'M', name: 'process_name', pid, tid: 0, args: { name: lane.label } },
      { ph: 'M', name: 'process_sort_index', pid, tid: 0, args: { sort_index: n } });
    const args = (e) => ({ story: e.story, text: e.text, reason: e.reason ?? null, failed: Boolean(e.failed), approximate: Boolean(e.approx) });
    for (const span of spans) {
      events.push({ ph: 'X', name: COLOURS[span.type][1], cat: span.failed ? 'failure' : span.type, pid, tid: rows.get(span) + 1,
        ts: us(span.at), dur: Math.max(1, us(span.end) - us(span.at)), args: args(span) });
    }
    for (const mark of marks) {
      events.push({ ph: 'i', s: 'p', name: COLOURS[mark.type][1], cat: mark.failed ? 'failure' : mark.type, pid, tid: 0,
        ts: us(mark.at), args: args(mark) });
    }
  }
  return { traceEvents: events, displayTimeUnit: 'ms', otherData: { home: timeline.home, start: iso(timeline.start) } };
}

// ---------------------------------------------------------------------------
// Command line

const USAGE = 'usage: node timeline.mjs --home DIR [--since T] [--operation ID] [--failed] [--json] '
  + '[--svg FILE] [--trace FILE] [--traces DIR]\n'
  + '  T: a UTC time (2026-12-10T08:00:00Z, 2026-12-10) or a time ago (90s, 30m, 2h, 1d)';

class UsageError extends Error {}

const UNITS = { ms: 1, s: 1000, m: 60000, h: 3600000, d: DAY_MS };
export function parseSince(text, now = Date.now()) {
  const ago = /^(\d{1,9})(ms|s|m|h|d)$/.exec(text);
  if (ago) return now - Number(ago[1]) * UNITS[ago[2]];
  const at = /^\d{4}-\d\d-\d\d(T\d\d:\d\d(:\d\d(\.\d{1,3})?)?Z?)?$/.test(text) ? Date.parse(text.length === 10 || text.endsWith('Z') ? text : `${text}Z`) : NaN;
  if (!Number.isFinite(at)) throw new UsageError(`--since ${text} is neither a UTC time nor a time ago`);
  return at;
}

export function parseArguments(argv, now = Date.now()) {
  const options = { home: null, since: null, operation: null, failed: false, json: false, svg: null, trace: null, traces: TRACE_DIRECTORY };
  const valued = { '--home': 'home', '--since': 'since', '--operation': 'operation', '--svg': 'svg', '--trace': 'trace', '--traces': 'traces' };
  for (let i = 0; i < argv.length; i++) {
    const arg = argv[i];
    if (arg === '--failed' || arg === '--json') options[arg.slice(2)] = true;
    else if (valued[arg]) {
      if (i + 1 >= argv.length || argv[i + 1] === '') throw new UsageError(`${arg} needs a value`);
      options[valued[arg]] = argv[++i];
    } else throw new UsageError(`unknown argument ${arg}`);
  }
  if (!options.home) throw new UsageError('--home is required');
  if (options.since !== null) options.since = parseSince(options.since, now);
  return options;
}

// A picture or trace is complete or absent: written beside its name, made
// durable, then renamed into place.
export function writeWhole(file, text) {
  const temporary = `${file}.${randomBytes(6).toString('hex')}.tmp`;
  try {
    const fd = fs.openSync(temporary, 'wx');
    try {
      fs.writeSync(fd, text);
      fs.fsyncSync(fd);
    } finally {
      fs.closeSync(fd);
    }
    fs.renameSync(temporary, file);
  } catch (error) {
    fs.rmSync(temporary, { force: true });
    throw error;
  }
}

// Reads, joins and tells; `now` fixes the retention window and a relative
// --since. Resolves with the exit code and the timeline.
export function run(argv, { stdout = process.stdout, stderr = process.stderr, now = Date.now() } = {}) {
  let options;
  try {
    options = parseArguments(argv, now);
  } catch (error) {
    if (!(error instanceof UsageError)) throw error;
    stderr.write(`timeline: arguments_invalid: ${error.message}\n${USAGE}\n`);
    return { code: 2, timeline: null };
  }
  let evidence;
  try {
    evidence = readHome(options.home, { traceDirectory: options.traces, now });
  } catch (error) {
    stderr.write(`timeline: ${error.message}: ${options.home} is no directory this process can read\n`);
    return { code: 3, timeline: null };
  }
  const timeline = buildTimeline(evidence, options);
  for (const [file, render] of [[options.svg, renderSvg], [options.trace, (t) => JSON.stringify(renderTrace(t))]]) {
    if (!file) continue;
    try {
      writeWhole(file, render(timeline));
    } catch (error) {
      stderr.write(`timeline: output_unwritable: ${file} (${error.code ?? error.message})\n`);
      return { code: 3, timeline };
    }
  }
  stdout.write(`${options.json ? formatJsonLines(timeline) : formatText(timeline)}\n`);
  return { code: timeline.anomalies.length ? 1 : 0, timeline };
}

if (process.argv[1] && pathToFileURL(process.argv[1]).href === import.meta.url) {
  process.exitCode = run(process.argv.slice(2)).code;
}
