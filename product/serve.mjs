// Serving broker requests in the resident runtime once it is published.
//
// The host hands each client's request over the link (its standard streams,
// one JSON object per line) as {"type":"request","id":N,"version":1|2,
// "request_line":TEXT,"body":BASE64}. A version 2 request is served by a
// work of role "server" bound to the client's request line; every phase the
// server takes is reported to the addon (serverPhase, which seals the
// terminal phase into its audit file) and then to the host, which writes it
// to the client as a phase frame:
//   {"type":"phase","id":N,"server_work":W,"phase":P,"account":A,"memory":M,"effect":E}
//   {"type":"final","id":N,"server_work":W,"phase":P,"reason":R,"account":A,
//    "memory":M,"effect":E,"body":BASE64}
// A version 1 request is answered with {"type":"response","id":N,"body":BASE64}.
//
// The product operations kept here: "capture" stores a small memory (the
// JSON body {"text":...}) and "recall" finds memories by a word (the JSON
// body {"word":...}), both in the home's store (store.mjs); "hello" and
// "status" answer without touching it. A capture is stored once per request
// id, so a client retrying one whose outcome it could not know is answered
// from the first.
import { serveTurns } from './admission.mjs';
import { MemoryStore } from './store.mjs';
import { recordedRequestId } from './client.mjs';

export { MemoryStore };

const SCHEMA = 'nuvra.windows-memory-broker.v1';
// What a server phase may carry as its terminal reason.
const SERVER_REASONS = new Set([
  'none', 'broker_deadline_refused', 'broker_outcome_unknown', 'broker_native_protocol_refused',
  'broker_native_identity_refused', 'broker_native_peer_refused', 'profile_account_unavailable',
  'profile_cleanup_uncertain', 'profile_diagnostic_cleanup_uncertain', 'account_state_conflict',
  'signing_key_invalid', 'credential_missing', 'access_refresh_required', 'broker_failed',
  'unclassified',
]);
const OPERATIONS = new Set(['capture', 'recall', 'hello', 'status', 'shutdown', 'turn_prompt']);
// The server work ends this long before the client's deadline, so that its
// final frame still reaches the client in time.
const FINAL_FRAME_MARGIN_MS = 50;
// The server record's checkpoint waits for the home's mutex behind every
// other process's steps, and its terminal record must follow before the
// work's deadline; with less time left than this a request gets no server
// record at all, rather than a checkpoint that no terminal record can follow
// (which says "outcome lost" of a request the client recorded as done).
const SERVER_RECORD_MS = 300;
// The server reasons that are no terminal reasons; the host writes each as
// "internal_error".
const NON_TERMINAL_REASONS = new Set([
  'credential_missing', 'access_refresh_required', 'broker_failed', 'unclassified', 'broker_native_peer_refused',
]);
// What a request that was done says it did, by operation.
const SUCCESS_STATE = { capture: 'saved', recall: 'recalled' };
// The reasons a version 1 refusal names as they are (all terminal reasons,
// so that the client can record them); anything else the store or the
// engine threw is "internal_error", never the engine's own text.
const REFUSALS = new Set(['bad_request_shape', 'request_id_invalid', 'store_refused', 'state_write_failed']);

// The product's answer to one request body; whether it touched the store
// says whether a memory send took place.
function runOperation(store, operation, body, requestId) {
  const request = body.length ? JSON.parse(body.toString('utf8')) : {};
  if (request === null || typeof request !== 'object' || Array.isArray(request)) throw new Error('bad_request_shape');
  if (operation === 'capture') {
    const { memory, stored } = store.capture(request.text, requestId);
    return { memory, ...(stored ? {} : { repeated: true }), sent: true };
  }
  if (operation === 'recall') return { memories: store.recall(request.word), sent: true };
  return { sent: false };
}

function answerBody(operation, requestId, result) {
  const { sent, ...rest } = result;
  return Buffer.from(JSON.stringify({ ok: true, operation, request_id: requestId, schema_version: SCHEMA, ...rest }));
}

// A failure the addon or the store reported, as the server names it.
function serverReason(error) {
  const message = error?.message;
  if (message === 'profile_startup_timeout' || message === 'profile_work_ended') return 'broker_deadline_refused';
  if (message === 'bad_request_shape' || error instanceof SyntaxError) return 'unclassified';
  return SERVER_REASONS.has(message) && message !== 'none' ? message : 'broker_failed';
}

// A version 1 body is the whole request: {"operation":...,"request_id":...}
// and the operation's own keys.
async function serveVersion1(store, message, send) {
  const body = Buffer.from(message.body, 'base64');
  let answer;
  try {
    const request = JSON.parse(body.toString('utf8'));
    if (request === null || typeof request !== 'object' || !OPERATIONS.has(request.operation)) {
      throw new Error('bad_request_shape');
    }
    const requestId = request.request_id ?? null;
    answer = answerBody(request.operation, requestId,
      runOperation(store, request.operation, Buffer.from(JSON.stringify(request)), requestId));
  } catch (error) {
    const reason = error instanceof SyntaxError ? 'bad_request_shape'
      : REFUSALS.has(error?.message) ? error.message : 'internal_error';
    answer = Buffer.from(JSON.stringify({ ok: false, error_code: reason, schema_version: SCHEMA }));
  }
  await send({ type: 'response', id: message.id, body: answer.toString('base64') });
}

// The server work's own terminal operation, whose record carries the
// server's evidence once the work has ended. Its bookkeeping never fails a
// request: what cannot be recorded is left out. With diagnostics off there is
// no log to record in.
class ServerRecord {
  constructor(addon) {
    this.addon = addon;
    this.event = '-';
    this.terminal = null;
    if (process.env.NUVRA_AUTH_LOG_LEVEL === 'off') return;
    try {
      this.event = addon.newDiagnosticEvent('worker');
      this.terminal = addon.newTerminalOperation('worker', this.event);
    } catch {
      this.close();
    }
  }

  // The client's request id joins this record to the client's.
  async prepare(work, requestId, deadline) {
    if (!this.terminal) return;
    if (this.addon.ingressRemaining(deadline) - FINAL_FRAME_MARGIN_MS < SERVER_RECORD_MS) {
      this.close();
      return;
    }
    await this.addon.prepareTerminal(this.terminal, work, '-', recordedRequestId(requestId), 'admission').catch(() => {});
  }

  // After the work's end: how the request ended, `reason` "none" for done.
  // A server reason outside the terminal reasons is recorded as the host
  // writes it to the client.
  async commit(operation, reason) {
    if (!this.terminal) return;
    const recorded = NON_TERMINAL_REASONS.has(reason) ? 'internal_error' : reason;
    const state = recorded === 'none' ? (SUCCESS_STATE[operation] ?? 'connected') : 'failed';
    await this.addon.commitTerminal(this.terminal, recorded === 'none', state, recorded, 'terminal')
      .catch(() => {});
  }

  close() {
    try {
      if (this.terminal) this.addon.closeTerminalOperation(this.terminal);
    } catch {
      // An operation that will not close is the addon's to report.
    }
    try {
      if (this.event !== '-') this.addon.closeDiagnosticEvent(this.event);
    } catch {
      // As above.
    }
    this.terminal = null;
    this.event = '-';
  }
}

async function serveVersion2(addon, store, message, send) {
  const line = message.request_line;
  const fields = line.split('\t');
  const [operation, requestId, deadline] = [fields[4], fields[1], fields[6] ?? ''];
  const counts = { account: 0, memory: 0 };
  let work = '-';
  let sealed = 'broker_outcome_unknown';
  const phase = (name, effect) => send({ type: 'phase', id: message.id, server_work: work, phase: name, ...counts, effect });
  const final = (name, reason, effect, body = Buffer.alloc(0)) => {
    sealed = reason;
    return send({
      type: 'final', id: message.id, server_work: work, phase: name, reason, ...counts, effect, body: body.toString('base64'),
    });
  };
  const record = new ServerRecord(addon);

  // 1. Arrival: a server work within what is left of the client's deadline.
  try {
    work = await addon.beginWork(() => addon.ingressRemaining(deadline) - FINAL_FRAME_MARGIN_MS, record.event, 'server',
      OPERATIONS.has(operation) ? operation : '-');
  } catch {
    work = '-';
    record.close();
    await final('refused_arrival', 'broker_deadline_refused', 'none');
    return;
  }
  try {
    // 2. Bound to the client's request line: "received".
    try {
      addon.bindServerWork(work, line);
    } catch {
      await final('terminal', 'broker_native_protocol_refused', 'none');
      return;
    }
    await phase('received', 'none');
    // 3. Admitted, unless its time is gone: then refused while queued.
    try {
      addon.serverPhase(work, 'admitted', 'none');
    } catch {
      addon.serverPhase(work, 'terminal', 'broker_deadline_refused');
      await final('refused_queue', 'broker_deadline_refused', 'none');
      return;
    }
    await phase('admitted', 'none');
    // 4. The operation; a memory send is announced before and counted after.
    try {
      const body = Buffer.from(message.body, 'base64');
      let result;
      if (operation === 'capture' || operation === 'recall') {
        addon.serverPhase(work, 'memory_pending', 'none');
        result = runOperation(store, operation, body, requestId);
        addon.serverPhase(work, 'memory', 'none');
        counts.memory += 1;
        await phase('started', 'possible');
      } else {
        result = runOperation(store, operation, body, requestId);
      }
      // 5. Sealed, then told.
      addon.serverPhase(work, 'terminal', 'none');
      await final('terminal', 'none', result.sent ? 'validated' : 'none', answerBody(operation, requestId, result));
    } catch (error) {
      const reason = serverReason(error);
      try {
        addon.serverPhase(work, 'terminal', reason);
      } catch {
        // Already sealed: the audit keeps the first terminal phase.
      }
      await final('terminal', reason, counts.account + counts.memory > 0 ? 'possible' : 'none');
    }
  } finally {
    // The record's checkpoint waits until the client has its final frame,
    // so that the bookkeeping never costs the client its deadline.
    await record.prepare(work, requestId, deadline);
    await addon.endWork(work).catch(() => {});
    await record.commit(operation, sealed);
    record.close();
  }
}

// One request from the host; answers go back through `send`.
export async function serveRequest(addon, store, message, send) {
  if (message.version === 2) return serveVersion2(addon, store, message, send);
  return serveVersion1(store, message, send);
}

// Serves every request the host hands over until `signal` aborts; `host` is
// the link of host_link.mjs (on(type, handler), send(message)). Requests are
// served concurrently; the store lives under the home initialize names, and
// the home's clients take their turns from here (admission.mjs).
export async function serve(addon, host, { signal } = {}) {
  const { home } = addon.initialize();
  const store = new MemoryStore(home);
  const turns = serveTurns(home);
  const running = new Set();
  host.on('request', (message) => {
    const served = serveRequest(addon, store, message, async (answer) => host.send(answer))
      .catch(() => {});
    running.add(served);
    served.finally(() => running.delete(served));
  });
  if (!signal?.aborted) {
    await new Promise((resolve) => signal?.addEventListener('abort', resolve, { once: true }));
  }
  turns.close();
  await Promise.allSettled(running);
  store.close();
}
