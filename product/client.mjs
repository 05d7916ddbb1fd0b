// A client runtime's side of a broker request: the endpoint descriptor the
// addon's exchange takes, built from the published endpoint record that
// prepareBrokerBudget returned. The preamble digest a client presents is the
// record's "broker_binding", which the host acknowledges with.
const PIPE_PREFIX = '\\\\.\\pipe\\';

export function endpointDescriptor(recordText, timeoutMs = 1000) {
  const record = JSON.parse(recordText);
  if (!record.pipe_name?.startsWith(PIPE_PREFIX)) throw new Error('broker_endpoint_invalid');
  return ['NUVRA_NATIVE_ENDPOINT_V1', record.pipe_name.slice(PIPE_PREFIX.length), String(record.pid),
    record.process_creation_filetime, record.image_path_sha256, record.owner_sid_hash,
    record.authentication_id_hash, String(record.windows_session_id), record.broker_binding,
    record.broker_instance, String(timeoutMs), 'END'].join('\t');
}

// One request on a work begun with a fresh budget token: version 2
// (exchangePhase) unless `version` is 1. Resolves with the response bytes.
export async function brokerRequest(addon, { operation, body, requestId, version = 2, timeoutMs = 1000 }) {
  const runtime = addon.initialize();
  const target = `${runtime.root}\\connector\\vevadu-code\\client\\nuvra_windows_broker_native.exe`;
  const budget = addon.prepareBrokerBudget(operation);
  if (budget.cold) throw new Error('broker_unavailable');
  const work = await addon.beginWork(() => budget.budget_ms, '-', 'client', operation, budget.token);
  try {
    const call = version === 1 ? addon.exchange : addon.exchangePhase;
    return await call(work, target, endpointDescriptor(budget.endpoint_json, timeoutMs),
      Buffer.from(body), operation, requestId);
  } finally {
    await addon.endWork(work).catch(() => {});
  }
}
