// The home check ("nuvra_windows_broker_native.exe check --home DIR"): a
// home fresh from the installer passes, each planted fault is found with the
// reason code a runtime start (or a client's reading of the endpoint) gives,
// and the check leaves every file of the home as it found it.
import { describe, it, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { createHash } from 'node:crypto';
import fs from 'node:fs';
import path from 'node:path';
import { brokerBuild, installHome, removeHome, run, writeRecord } from './lib/home.mjs';

const sha = (text) => createHash('sha256').update(text).digest('hex');
const J = JSON.stringify;
const device = { sessionId: 'session-c', deviceId: 'device-c', consumerId: 'consumer-c' };

async function check(home, flavour = 'testbed') {
  const { code, stdout, stderr } = await run(brokerBuild[flavour], ['check', '--home', home.home]);
  const findings = stdout.split(/\r?\n/).map((line) => line.match(/^ {2}(.*) {2}\[([^\]]+)\]$/))
    .filter(Boolean).map(([, words, reason]) => ({ words, reason }));
  return { code, stdout, stderr, findings };
}

// Every file under the home with its size, time and content hash.
function snapshot(dir, into = new Map(), prefix = '') {
  for (const entry of fs.readdirSync(dir, { withFileTypes: true })) {
    const full = path.win32.join(dir, entry.name);
    const name = `${prefix}${entry.name}`;
    if (entry.isDirectory()) {
      into.set(`${name}\\`, 'folder');
      snapshot(full, into, `${name}\\`);
    } else {
      const stat = fs.statSync(full);
      into.set(name, `${stat.size} ${stat.mtimeMs} ${sha(fs.readFileSync(full))}`);
    }
  }
  return into;
}

const read = (home, relative) => fs.readFileSync(path.win32.join(home.home, relative), 'utf8');
const replaceJson = (home, relative, change) =>
  writeRecord(home, relative, `${J(change(JSON.parse(read(home, relative))))}\n`);

// Facts of a broker process that has ended: the exchange peer prints what an
// endpoint record needs and ends when its input closes. Under Wine every
// token of the user shares one logon and session, so the peer's identity
// facts are those of the runtime the check stands in for.
async function endedBrokerFacts() {
  const peer = spawn(brokerBuild.testbed, ['exchange-peer', 'honest'],
    { stdio: ['pipe', 'pipe', 'ignore'], windowsHide: true });
  const line = await new Promise((resolve, reject) => {
    let text = '';
    peer.on('error', reject);
    peer.stdout.setEncoding('utf8').on('data', (d) => {
      text += d;
      if (text.includes('\n')) resolve(text.slice(0, text.indexOf('\n')));
    });
  });
  const exited = new Promise((resolve) => peer.on('exit', resolve));
  peer.stdin.end();
  await exited;
  return JSON.parse(line);
}

// An endpoint record bound to this home, user, session and device binding,
// naming the home's own broker executable; `change` edits it afterwards.
function endpointRecord(home, facts, change = {}) {
  const installation = sha(`{"canonical_home_sha256":${J(home.homeKey)},"consumer_id":${J(device.consumerId)},` +
    `"device_id":${J(device.deviceId)},"owner_sid_hash":${J(home.ownerSidHash)},` +
    `"schema_version":"nuvra.windows-memory-broker.v1","session_id":${J(device.sessionId)}}`);
  const binding = sha(`{"authentication_id_hash":${J(facts.authentication)},"installation_binding":` +
    `${J(installation)},"schema_version":"nuvra.windows-memory-broker.v1","windows_session_id":${facts.session}}`);
  return J({
    schema_version: 'nuvra.windows-memory-broker-endpoint.v1',
    protocol_version: 'nuvra.windows-memory-broker.v1',
    broker_binding: binding, broker_instance: facts.instance, owner_sid_hash: home.ownerSidHash,
    pipe_name: `\\\\.\\pipe\\nuvra-memory-v1-${binding.slice(0, 48)}`,
    started_at: '2026-01-02T03:04:05.006Z', published_at: '2026-01-02T03:04:05.007Z',
    broker_scope: 'machine', pid: facts.pid, process_creation_filetime: facts.creation,
    image_path_sha256: sha(home.brokerImage.toUpperCase()),
    authentication_id_hash: facts.authentication, windows_session_id: facts.session,
    installation_root_sha256: home.homeKey, parent_pid: facts.pid + 8,
    parent_process_creation_filetime: facts.creation, parent_image_path_sha256: facts.image,
    ...change,
  });
}

async function publish(home, text) {
  fs.mkdirSync(path.win32.join(home.home, 'state', 'broker'), { recursive: true });
  await writeRecord(home, 'state\\broker\\endpoint.json', text);
}

// A whole audit image as the server seals it: one line, then zero bytes.
const wholeAudit = () => {
  const image = Buffer.alloc(4096);
  image.write(['NUVRA_AUDIT_V3', 'server', 'e'.repeat(64), '0123abcd-0123-4567-89ab-0123456789ab',
    '7', '1', 'recall', '0'.repeat(32), '5000', '21', '5', 'terminal', 'none', 'none', '1', '1',
    '0', '0'].join('\t') + '\n');
  return image;
};
// The broker directory with one whole audit and the planted ones, each named
// by the hash digit it repeats.
function plantAudits(home, planted) {
  const directory = path.win32.join(home.home, 'state', 'broker');
  fs.mkdirSync(directory, { recursive: true });
  for (const [digit, bytes] of Object.entries({ b: wholeAudit(), ...planted })) {
    fs.writeFileSync(path.win32.join(directory, `phase-${digit.repeat(64)}.bin`), bytes);
  }
}

describe('home check', () => {
  let facts;
  const homes = [];
  const freshHome = async () => {
    const home = await installHome({ ...device });
    homes.push(home);
    return home;
  };
  before(async () => { facts = await endedBrokerFacts(); });
  after(() => { for (const home of homes) removeHome(home); });

  it('finds nothing in a home fresh from the installer and changes none of its files', async () => {
    const home = await freshHome();
    const before = snapshot(home.home);
    const result = await check(home);
    assert.equal(result.code, 0, result.stdout + result.stderr);
    assert.deepEqual(result.findings, []);
    assert.match(result.stdout, /^no findings/m);
    assert.deepEqual(snapshot(home.home), before);
  });

  // Each fault planted alone in a fresh home, with the reason the check must
  // give and words its finding must hold.
  const faults = [
    { fault: 'a servicing record in RECOVERY_REQUIRED', reason: 'profile_selection',
      words: /RECOVERY_REQUIRED/,
      plant: (home) => {
        const previous = read(home, 'state\\runtime\\servicing.json');
        return writeRecord(home, 'state\\runtime\\servicing.json',
          '{"schema_version":"nuvra.runtime-servicing.v1","state":"RECOVERY_REQUIRED",' +
          `"installation_root":${J(home.home)},"owner_sid_hash":${J(home.ownerSidHash)},` +
          `"previous_record_text":${J(previous)}}\n`);
      } },
    { fault: 'a servicing record of another owner', reason: 'profile_selection',
      words: /does not commit a runtime of this home for you/,
      plant: (home) => replaceJson(home, 'state\\runtime\\servicing.json',
        (r) => ({ ...r, owner_sid_hash: 'f'.repeat(64) })) },
    { fault: 'a servicing record that others may read', reason: 'profile_security',
      words: /servicing\.json is not owner-only/,
      plant: (home) => {
        // A file node.exe creates gets Wine's default mode, readable by all.
        const file = path.win32.join(home.home, 'state', 'runtime', 'servicing.json');
        const text = fs.readFileSync(file);
        fs.rmSync(file);
        fs.writeFileSync(file, text);
      } },
    { fault: 'no servicing record', reason: 'profile_record_open', words: /servicing\.json is missing/,
      plant: (home) => fs.rmSync(path.win32.join(home.home, 'state', 'runtime', 'servicing.json')) },
    { fault: 'a missing lifetime marker', reason: 'profile_markers', words: /lifetime marker .* is missing/,
      plant: (home) => fs.rmSync(path.win32.join(home.home, 'state', 'runtime', 'lifetime.v1')) },
    { fault: 'a work marker that is not empty', reason: 'profile_marker', words: /work marker/,
      plant: (home) => fs.appendFileSync(path.win32.join(home.home, 'state', 'runtime', 'work.v1'), 'x') },
    { fault: "a second hard link to the runtime's node.exe", reason: 'profile_guard_links',
      words: /node\.exe has a second hard link/,
      plant: (home) => fs.linkSync(home.nodeImage, path.win32.join(home.scratch, 'node-link.exe')) },
    { fault: 'a current-runtime record naming another version', reason: 'profile_selection',
      words: /records disagree/,
      plant: (home) => replaceJson(home, 'runtime\\current', (r) => ({ ...r, version: '2.0.0' })) },
    { fault: 'an admission record listing the broker executable twice', reason: 'profile_native_target',
      words: /admission record does not name the native broker executable exactly once/,
      plant: (home) => replaceJson(home, 'state\\runtime\\admission.json', (r) => {
        const native = r.payload.files.find((f) => f.path.endsWith('nuvra_windows_broker_native.exe'));
        return { ...r, payload: { ...r.payload, files: [...r.payload.files, native] } };
      }) },
    { fault: 'a device binding without its device id', reason: 'host_device_binding',
      words: /windows-device-auth\.json is not one JSON object with the string keys/,
      plant: (home) => replaceJson(home, 'windows-device-auth.json',
        ({ device_id: _, ...rest }) => rest) },
    { fault: 'an endpoint record of a broker that has ended', reason: 'broker_native_exited',
      words: /endpoint\.json is stale/, plant: (home) => publish(home, endpointRecord(home, facts)) },
    { fault: 'an endpoint record made for another owner', reason: 'broker_endpoint_invalid',
      words: /endpoint\.json was not made for this home/,
      plant: (home) => publish(home, endpointRecord(home, facts, { owner_sid_hash: 'e'.repeat(64) })) },
    { fault: 'an endpoint record naming the broker of another runtime',
      reason: 'broker_runtime_incompatible', words: /another runtime/,
      plant: (home) => publish(home, endpointRecord(home, facts, { image_path_sha256: 'a'.repeat(64) })) },
    { fault: 'an endpoint record that is not JSON', reason: 'broker_endpoint_invalid',
      words: /endpoint\.json is not JSON/, plant: (home) => publish(home, '{"schema_version":') },
    // What a kill between an audit's creation and its write used to leave,
    // and a write cut short; the whole audit beside each is no finding.
    { fault: 'a phase audit left empty', reason: 'diagnostic_record_invalid',
      words: new RegExp(`phase-${'a'.repeat(64)}\\.bin is torn: 0 of 4096 bytes`),
      plant: (home) => plantAudits(home, { a: Buffer.alloc(0) }) },
    { fault: 'a phase audit cut short', reason: 'diagnostic_record_invalid',
      words: new RegExp(`phase-${'c'.repeat(64)}\\.bin is torn: 100 of 4096 bytes`),
      plant: (home) => plantAudits(home, { c: wholeAudit().subarray(0, 100) }) },
  ];
  for (const { fault, reason, words, plant } of faults) {
    it(`finds ${fault} (${reason}) and changes nothing`, async () => {
      const home = await freshHome();
      await plant(home);
      const before = snapshot(home.home);
      const result = await check(home);
      assert.equal(result.code, 1, result.stdout + result.stderr);
      assert.deepEqual(result.findings.map((f) => f.reason), [reason], result.stdout);
      assert.match(result.findings[0].words, words);
      assert.match(result.stdout, /^1 finding$/m);
      assert.deepEqual(snapshot(home.home), before);
    });
  }

  it('in the release build, refuses under Wine what Wine cannot make owner-only', async () => {
    const home = await freshHome();
    const result = await check(home, 'release');
    assert.equal(result.code, 1, result.stdout + result.stderr);
    assert.deepEqual(result.findings.map((f) => f.reason), ['profile_security'], result.stdout);
    assert.match(result.findings[0].words, /servicing\.json is not owner-only/);
  });

  it('refuses a command line without --home', async () => {
    const result = await run(brokerBuild.testbed, ['check', 'C:\\']);
    assert.equal(result.code, 2);
  });
});
