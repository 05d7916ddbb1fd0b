// A client runtime's side of a broker request: the endpoint descriptor the
// addon's exchange takes, built from the published endpoint record that
// prepareBrokerBudget returned. The preamble digest a client presents is the
// record's "broker_binding", which the host acknowledges with.
import { takeTurn } from './admission.mjs';

const PIPE_PREFIX = '\\\\.\\pipe\\';

export function endpointDescriptor(recordText, timeoutMs = 1000) {
  const record = JSON.parse(recordText);
  if (!record.pipe_name?.startsWith(PIPE_PREFIX)) throw new Error('broker_endpoint_invalid');
  return ['NUVRA_NATIVE_ENDPOINT_V1', record.pipe_name.slice(PIPE_PREFIX.length), String(record.pid),
    record.process_creation_filetime, record.image_path_sha256, record.owner_sid_hash,
    record.authentication_id_hash, String(record.windows_session_id), record.broker_binding,
    record.broker_instance, String(timeoutMs), 'END'].join('\t');
}

// What a finished operation says it did, by operation.
const SUCCESS_STATE = { capture: 'saved', recall: 'recalled' };

// The reasons an exchange may fail with that a terminal record can carry
// (commitTerminal takes only terminal reasons, and a refused commit uses the
// operation up); any other is recorded as an unknown outcome.
const EXCHANGE_REASONS = new Set([
  'broker_deadline_refused', 'broker_native_exchange_timeout', 'broker_native_exited',
  'broker_native_frame_invalid', 'broker_native_identity_refused', 'broker_native_protocol_refused',
  'broker_native_transport_failed', 'broker_outcome_unknown', 'broker_runtime_incompatible',
  'broker_unavailable', 'profile_startup_timeout', 'profile_work_ended',
]);

// A version 1 server's refusal, answered as a normal response: the reasons it
// names that a terminal record can carry; any other is recorded as the host
// records a reason outside the terminal reasons.
const REFUSAL_REASONS = new Set(['bad_request_shape', 'request_id_invalid', 'store_refused', 'state_write_failed',
  'internal_error']);

// The reason of a version 1 answer {"ok":false,"error_code":R,...}, or null
// for any other answer.
export function refusalReason(response) {
  let answer;
  try {
    answer = JSON.parse(Buffer.from(response).toString('utf8'));
  } catch {
    return null;
  }
  if (answer === null || typeof answer !== 'object' || answer.ok !== false) return null;
  return REFUSAL_REASONS.has(answer.error_code) ? answer.error_code : 'internal_error';
}

// A budget token lives until a beginWork takes it or its deadline passes; a
// caller that will not begin a work with it hands it to a beginWork that
// refuses it before opening anything (an operation other than the token's),
// so that giving up never leaves a token counting against the 128.
export function retireBudget(addon, budget) {
  try {
    addon.beginWork(() => 1, '-', 'client', '-', budget.token);
  } catch (error) {
    if (error.message !== 'profile_budget_class' && error.message !== 'profile_startup_timeout') throw error;
  }
}

// Runs `step` and waits for what it returned, whether it threw at once or
// its promise rejected; resolves with its reason, or null when it succeeded.
async function settled(step) {
  try {
    await step();
    return null;
  } catch (error) {
    return error.message;
  }
}

// A request id as a checkpoint and a terminal record can carry it (36
// characters of lowercase hex digits and dashes), else "-" for none.
export function recordedRequestId(requestId) {
  return typeof requestId === 'string' && /^[0-9a-f-]{36}$/.test(requestId) ? requestId : '-';
}

// One request as a whole client operation: a diagnostic event and its
// terminal operation, whose checkpoint is written before the exchange and
// whose terminal record, carrying the client's evidence, after the work's
// end; the work is begun with a fresh budget token; version 2
// (exchangePhase) unless `version` is 1. Resolves with the response bytes
// (for a request the broker refused, its failure body, recorded as failed
// with the broker's reason), or rejects with the exchange's reason
// once its terminal record is written.
// With diagnostics off ("NUVRA_AUTH_LOG_LEVEL" "off") there is no log to
// keep the records in, and the request goes without them.
// The operation waits for its turn in the home first (admission.mjs): its
// budget starts once it has one.
export async function brokerRequest(addon, request) {
  const turn = await takeTurn(addon.initialize().home);
  try {
    return await operationInTurn(addon, request);
  } finally {
    turn.end();
  }
}

async function operationInTurn(addon, { operation, body, requestId, version = 2, timeoutMs = 1000 }) {
  const runtime = addon.initialize();
  const target = `${runtime.root}\\connector\\vevadu-code\\client\\nuvra_windows_broker_native.exe`;
  const budget = addon.prepareBrokerBudget(operation);
  if (budget.cold) {
    retireBudget(addon, budget);
    throw new Error('broker_unavailable');
  }
  const recorded = process.env.NUVRA_AUTH_LOG_LEVEL !== 'off';
  const event = recorded ? addon.newDiagnosticEvent('worker') : '-';
  const terminal = recorded ? addon.newTerminalOperation('worker', event) : null;
  try {
    let response;
    let failure = null;
    let serverReason = 'none';
    const work = await addon.beginWork(() => budget.budget_ms, event, 'client', operation, budget.token);
    try {
      // The request id joins both sides' records of this request.
      if (terminal) await addon.prepareTerminal(terminal, work, '-', recordedRequestId(requestId), 'exchange_prepare');
      const call = version === 1 ? addon.exchange : addon.exchangePhase;
      response = await call(work, target, endpointDescriptor(budget.endpoint_json, timeoutMs),
        Buffer.from(body), operation, requestId);
      // A version 2 answer says in its terminal frame whether the broker did
      // the operation; the body of a failure is still the caller's answer.
      if (version !== 1) serverReason = addon.exchangeOutcome(work).terminal_reason ?? 'none';
      // A version 1 server refuses in a normal response.
      else serverReason = refusalReason(response) ?? 'none';
    } catch (error) {
      failure = error;
    }
    // Nothing more may leave for the broker; then the work ends, which puts
    // the client's evidence into the terminal operation. The first step that
    // failed (checkpoint, exchange, dispatch or end) is what the caller sees.
    try {
      addon.closeClientDispatch(work);
    } catch (error) {
      failure ??= error;
    }
    try {
      await addon.endWork(work);
    } catch (error) {
      failure ??= error;
    }
    if (failure) {
      // The failed step's own reason is what the caller needs, even when its
      // terminal record could not be written (a commit refuses at once, by a
      // throw, when the checkpoint or the end failed). The error's
      // `recorded` says whether its terminal record is in the log, and
      // `terminalError` why not; a failure before the work began has neither.
      if (terminal) {
        const reason = EXCHANGE_REASONS.has(failure.message) ? failure.message : 'broker_outcome_unknown';
        const unrecorded = await settled(() => addon.commitTerminal(terminal, false, 'failed', reason, 'terminal'));
        failure.recorded = !unrecorded;
        if (unrecorded) failure.terminalError = unrecorded;
      }
      throw failure;
    }
    if (terminal) {
      // The reason of an authenticated terminal frame is a terminal reason:
      // the work's end refuses any other. A record that cannot be written
      // fails the request with the commit's reason, marked as unrecorded.
      const ok = serverReason === 'none';
      const unrecorded = await settled(() => addon.commitTerminal(terminal, ok,
        ok ? SUCCESS_STATE[operation] ?? 'connected' : 'failed', serverReason, 'terminal'));
      if (unrecorded) throw Object.assign(new Error(unrecorded), { recorded: false, terminalError: unrecorded });
    }
    return response;
  } finally {
    if (terminal) addon.closeTerminalOperation(terminal);
    if (recorded) addon.closeDiagnosticEvent(event);
  }
}
