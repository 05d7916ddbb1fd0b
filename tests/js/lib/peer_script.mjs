// The script of a job runtime that exchanges with peers started from the
// broker executable's "exchange-peer" role, for the exchange and evidence
// suites. Besides `addon`, `out`, `attempt` and `settle` (a call's result or
// throw as { value } or { error }) it has the runtime's `profile`, the broker
// `target`, `startPeer(fault)` (resolves once the peer has printed its
// facts; the pid is the one the spawn reports, not the peer's own claim) and
// `descriptor(peer, change)` (the peer's endpoint descriptor, fields
// replaced by `change`). `definitions` follow those; `body` runs after
// them, and the script prints `out` once every peer was told to end.
import { addonPath } from './addon.mjs';

export function peerScript(definitions, body) {
  return `import { createRequire } from 'node:module';
import { spawn, spawnSync } from 'node:child_process';
import { createHash } from 'node:crypto';
import fs from 'node:fs';
const addon = createRequire(import.meta.url)(${JSON.stringify(addonPath.testbed)});
const out = {};
const attempt = (fn) => { try { return { value: fn() }; } catch (e) { return { error: e.message }; } };
const settle = async (fn) => { try { return { value: await fn() }; } catch (e) { return { error: e.message }; } };
out.init = attempt(() => addon.initialize());
out.finish = attempt(() => addon.finishStartup());
const profile = out.init.value ?? {};
const target = profile.root + '\\\\connector\\\\vevadu-code\\\\client\\\\nuvra_windows_broker_native.exe';
const peers = [];
const startPeer = (fault) => new Promise((resolve, reject) => {
  const child = spawn(target, ['exchange-peer', fault], { stdio: ['pipe', 'pipe', 'ignore'], windowsHide: true });
  peers.push(child);
  let text = '';
  child.stdout.setEncoding('utf8').on('data', (d) => {
    text += d;
    const end = text.indexOf('\\n');
    if (end >= 0) resolve({ ...JSON.parse(text.slice(0, end)), pid: child.pid });
  });
  child.on('error', reject);
  child.on('close', (code) => reject(new Error('peer exited with ' + code)));
});
const descriptor = (peer, change = {}) => Object.values({ magic: 'NUVRA_NATIVE_ENDPOINT_V1',
  pipe: peer.pipe_name, pid: String(peer.pid), creation: peer.creation, image: peer.image,
  owner: peer.owner, logon: peer.authentication, session: String(peer.session), digest: peer.digest,
  instance: peer.instance, timeout: '1000', end: 'END', ...change }).join('\\t');
${definitions}
try {
${body}
} catch (e) { out.crashed = e.stack; }
for (const peer of peers) peer.stdin.end();
console.log(JSON.stringify(out));
`;
}
