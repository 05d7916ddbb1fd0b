// Endpoint records and broker-folder files planted in a product home by the
// suites that show how the home check and a resident's recovery treat them.
//
// livePeer() starts the test bed's exchange peer, a live process of the
// broker executable, and resolves to { facts, end() }: facts as it prints them
// ({ pid, creation, image, authentication, session, instance, ... }); end()
// closes its input and resolves once it has exited. endpointRecord(home,
// device, broker, change) is a record bound to this home, user, session and
// device binding, naming the home's own broker image, the process `broker`
// (facts) as its broker and, unless `change` says otherwise, the pid 8 above
// it as its runtime. plantBrokerFile(home, name, text) writes
// state\broker\NAME owner-only, as the servicing side writes a record.
import { spawn } from 'node:child_process';
import { createHash } from 'node:crypto';
import fs from 'node:fs';
import path from 'node:path';
import { brokerBuild, writeRecord } from './home.mjs';

const sha = (text) => createHash('sha256').update(text).digest('hex');
const J = JSON.stringify;

export async function livePeer() {
  const peer = spawn(brokerBuild.testbed, ['exchange-peer', 'honest'],
    { stdio: ['pipe', 'pipe', 'ignore'], windowsHide: true });
  const exited = new Promise((resolve) => peer.on('exit', resolve));
  const line = await new Promise((resolve, reject) => {
    let text = '';
    peer.on('error', reject);
    peer.stdout.setEncoding('utf8').on('data', (d) => {
      text += d;
      if (text.includes('\n')) resolve(text.slice(0, text.indexOf('\n')));
    });
  });
  return { facts: JSON.parse(line), end: () => { peer.stdin.end(); return exited; } };
}

export function endpointRecord(home, device, broker, change = {}) {
  const installation = sha(`{"canonical_home_sha256":${J(home.homeKey)},"consumer_id":${J(device.consumerId)},` +
    `"device_id":${J(device.deviceId)},"owner_sid_hash":${J(home.ownerSidHash)},` +
    `"schema_version":"nuvra.windows-memory-broker.v1","session_id":${J(device.sessionId)}}`);
  const binding = sha(`{"authentication_id_hash":${J(broker.authentication)},"installation_binding":` +
    `${J(installation)},"schema_version":"nuvra.windows-memory-broker.v1","windows_session_id":${broker.session}}`);
  return J({
    schema_version: 'nuvra.windows-memory-broker-endpoint.v1',
    protocol_version: 'nuvra.windows-memory-broker.v1',
    broker_binding: binding, broker_instance: broker.instance, owner_sid_hash: home.ownerSidHash,
    pipe_name: `\\\\.\\pipe\\nuvra-memory-v1-${binding.slice(0, 48)}`,
    started_at: '2026-01-02T03:04:05.006Z', published_at: '2026-01-02T03:04:05.007Z',
    broker_scope: 'machine', pid: broker.pid, process_creation_filetime: broker.creation,
    image_path_sha256: sha(home.brokerImage.toUpperCase()),
    authentication_id_hash: broker.authentication, windows_session_id: broker.session,
    installation_root_sha256: home.homeKey, parent_pid: broker.pid + 8,
    parent_process_creation_filetime: broker.creation, parent_image_path_sha256: broker.image,
    ...change,
  });
}

export async function plantBrokerFile(home, name, text) {
  fs.mkdirSync(path.win32.join(home.home, 'state', 'broker'), { recursive: true });
  await writeRecord(home, `state\\broker\\${name}`, text);
}
