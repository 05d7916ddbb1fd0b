// Round trips of one small request, interleaved: through the published
// resident (exchange, version 1, and exchangePhase, version 2, each resolved,
// peer verification and the runtime's server work included; the work is
// begun before the clock starts), and the same protocol bytes over node's
// `net` to a native pipe peer (the broker's exchange peer) and to a node
// `net` server, each a second process.
import net from 'node:net';
import { randomUUID } from 'node:crypto';
import { endpointDescriptor } from '../../product/client.mjs';
import { startRuntime, measure, config } from './common.mjs';

const body = Buffer.from('{"operation":"hello"}');

// Preamble, acknowledgement, one frame out and one back, on a fresh
// connection, as the addon's client does.
function rawRoundTrip(pipe, digest, instance) {
  return new Promise((resolve, reject) => {
    const socket = net.connect(pipe);
    let received = Buffer.alloc(0);
    let acknowledged = false;
    socket.on('connect', () => {
      socket.write(`NUVRA_NATIVE_PUBLIC_V1\t${digest}\t${instance}\n`);
    });
    socket.on('data', (chunk) => {
      received = Buffer.concat([received, chunk]);
      if (!acknowledged) {
        const end = received.indexOf(10);
        if (end < 0) return;
        acknowledged = true;
        received = received.subarray(end + 1);
        const length = Buffer.alloc(4);
        length.writeUInt32LE(body.length);
        socket.write(Buffer.concat([length, body]));
      }
      if (received.length >= 4 && received.length >= 4 + received.readUInt32LE(0)) {
        socket.destroy();
        resolve();
      }
    });
    socket.on('error', reject);
  });
}

await measure(async () => {
  const { addon } = startRuntime();
  const runtime = addon.initialize();
  const target = `${runtime.root}\\connector\\vevadu-code\\client\\nuvra_windows_broker_native.exe`;
  const samples = { v1: [], v2: [], nativePeer: [], nodeNet: [] };
  const brokerTrip = async (version) => {
    const budget = addon.prepareBrokerBudget('hello');
    const work = await addon.beginWork(() => budget.budget_ms, '-', 'client', 'hello', budget.token);
    const descriptor = endpointDescriptor(budget.endpoint_json, 1000);
    const call = version === 1 ? addon.exchange : addon.exchangePhase;
    const t0 = performance.now();
    await call(work, target, descriptor, body, 'hello', randomUUID());
    const ms = performance.now() - t0;
    await addon.endWork(work);
    return ms;
  };
  const timed = async (fn) => { const t0 = performance.now(); await fn(); return performance.now() - t0; };
  const { peer, netPipe } = config;
  for (let i = 0; i < config.warmup + config.count; ++i) {
    const v1 = await brokerTrip(1);
    const v2 = await brokerTrip(2);
    const nativePeer = await timed(() => rawRoundTrip(peer.pipe, peer.digest, peer.instance));
    const nodeNet = await timed(() => rawRoundTrip(netPipe, 'd'.repeat(64), 'i'.repeat(32)));
    if (i < config.warmup) continue;
    samples.v1.push(v1);
    samples.v2.push(v2);
    samples.nativePeer.push(nativePeer);
    samples.nodeNet.push(nodeNet);
  }
  return samples;
});
