// Broker round trips: exchange (version 1) and exchangePhase (version 2)
// against the product's published resident, against the same bytes over a
// named pipe to a native peer (the testbed broker's exchange peer, no
// verification and no runtime behind it) and to a node `net` server in
// another process. All four are measured interleaved in one client runtime.
import { spawn } from 'node:child_process';
import fs from 'node:fs';
import net from 'node:net';
import path from 'node:path';
import { randomBytes } from 'node:crypto';
import { fileURLToPath } from 'node:url';
import { launchRuntime } from '../tests/js/lib/home.mjs';
import { sleep } from './lib/bed.mjs';

const residentScript = fileURLToPath(new URL('../product/resident.mjs', import.meta.url));

// A node `net` server on a named pipe that speaks the broker's side:
// acknowledges a preamble line and answers one frame with one frame.
function netPeer() {
  const name = `\\\\.\\pipe\\nuvra-bench-net-${randomBytes(8).toString('hex')}`;
  const server = net.createServer((socket) => {
    let received = Buffer.alloc(0);
    let acknowledged = false;
    socket.on('data', (chunk) => {
      received = Buffer.concat([received, chunk]);
      if (!acknowledged) {
        const end = received.indexOf(10);
        if (end < 0) return;
        acknowledged = true;
        socket.write(`NUVRA_NATIVE_ACK_V1${received.subarray(22, end).toString('latin1')}\n`);
        received = received.subarray(end + 1);
      }
      if (received.length >= 4 && received.length >= 4 + received.readUInt32LE(0)) {
        const answer = Buffer.concat([Buffer.from('answer:'), received.subarray(4)]);
        const length = Buffer.alloc(4);
        length.writeUInt32LE(answer.length);
        socket.end(Buffer.concat([length, answer]));
      }
    });
    socket.on('error', () => {});
  });
  return new Promise((resolve) => server.listen(name, () => resolve({ name, server })));
}

// The testbed broker's exchange peer, honest; resolves with its facts.
function nativePeer(broker) {
  return new Promise((resolve, reject) => {
    const child = spawn(broker, ['exchange-peer', 'honest'], { stdio: ['pipe', 'pipe', 'ignore'], windowsHide: true });
    let text = '';
    child.stdout.setEncoding('utf8').on('data', (d) => {
      text += d;
      const end = text.indexOf('\n');
      if (end >= 0) {
        const facts = JSON.parse(text.slice(0, end));
        resolve({ child, pipe: `\\\\.\\pipe\\${facts.pipe_name}`, digest: facts.digest, instance: facts.instance });
      }
    });
    child.on('error', reject);
  });
}

export default async function exchange(bed, { count }) {
  const name = `\\\\.\\pipe\\nuvra-bench-input-${randomBytes(8).toString('hex')}`;
  let connected;
  const input = new Promise((resolve) => { connected = resolve; });
  const inputServer = net.createServer((s) => connected(s));
  await new Promise((resolve) => inputServer.listen(name, resolve));
  const running = launchRuntime({ home: bed.home, role: 'resident', script: residentScript,
    args: [bed.addon], stdin: name, timeoutMs: 900000 });
  const peer = await nativePeer(bed.home.brokerImage);
  const netServer = await netPeer();
  let r;
  try {
    const record = path.win32.join(bed.home.home, 'state', 'broker', 'endpoint.json');
    for (let waited = 0; !fs.existsSync(record); waited += 20) {
      if (waited > 60000) throw new Error('the resident never published');
      await sleep(20);
    }
    r = await bed.runtime('exchange', { count, warmup: 10,
      peer: { pipe: peer.pipe, digest: peer.digest, instance: peer.instance }, netPipe: netServer.name },
    { role: 'job' });
  } finally {
    (await input).end('end\n');
    await running;
    inputServer.close();
    netServer.server.close();
    // The peer runs the home's broker image: the home goes only after it.
    const exited = new Promise((resolve) => peer.child.on('exit', resolve));
    peer.child.stdin.end();
    await exited;
  }
  const nodeNet = { name: 'node net to a node net server, same bytes', unit: 'ms', samples: r.nodeNet };
  const raw = { name: 'node net to the native pipe peer, same bytes', unit: 'ms', samples: r.nativePeer, peer: nodeNet };
  return [
    { name: 'exchange (version 1) resolved', unit: 'ms', samples: r.v1, peer: raw },
    { name: 'exchangePhase (version 2) resolved', unit: 'ms', samples: r.v2, peer: raw },
    raw,
    nodeNet,
  ];
}
