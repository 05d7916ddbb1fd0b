// The home check ("nuvra_windows_broker_native.exe check --home DIR"): a
// home fresh from the installer passes, each planted fault is found with the
// reason code a runtime start (or a client's reading of the endpoint) gives,
// and the check leaves every file of the home as it found it. Then the
// installer's repair of a home in "RECOVERY_REQUIRED".
import { describe, it, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { createHash } from 'node:crypto';
import fs from 'node:fs';
import path from 'node:path';
import { livePeer, endpointRecord as plantedRecord, plantBrokerFile } from './lib/endpoint_plant.mjs';
import { addonPath } from './lib/addon.mjs';
import { brokerBuild, installHome, installerPath, launchRuntime, removeHome, run, writeRecord } from './lib/home.mjs';

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

// Facts of a broker process that has ended. Under Wine every token of the
// user shares one logon and session, so the peer's identity facts are those
// of the runtime the check stands in for.
async function endedBrokerFacts() {
  const peer = await livePeer();
  await peer.end();
  return peer.facts;
}

// A temporary endpoint file named by `digit` and last written `ageMs` ago.
async function plantTemporary(home, digit, ageMs) {
  const name = `endpoint.${digit.repeat(64)}.tmp`;
  await plantBrokerFile(home, name, '{"half":');
  const then = new Date(Date.now() - ageMs);
  fs.utimesSync(path.win32.join(home.home, 'state', 'broker', name), then, then);
}

const endpointRecord = (home, facts, change) => plantedRecord(home, device, facts, change);
const publish = (home, text) => plantBrokerFile(home, 'endpoint.json', text);

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

  it('takes a file a rotation left aside for no log file, and leaves it', async () => {
    const home = await freshHome();
    const logs = path.win32.join(home.home, 'logs');
    fs.mkdirSync(logs, { recursive: true });
    fs.writeFileSync(path.win32.join(logs, 'nuvra-20261208-3.jsonl.000000000000002b.dropped'), '{"torn":');
    const before = snapshot(home.home);
    const result = await check(home);
    assert.equal(result.code, 0, result.stdout + result.stderr);
    assert.deepEqual(result.findings, []);
    assert.doesNotMatch(result.stdout, /dropped/);
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
    { fault: 'a temporary endpoint file a publication left a minute ago',
      reason: 'broker_publication_recovery_required',
      words: /temporary endpoint file state\\broker\\endpoint\.c{64}\.tmp is stale: .* left it 6\d s ago/,
      plant: (home) => plantTemporary(home, 'c', 60000) },
    { fault: 'a file in the broker folder that no publication makes',
      reason: 'broker_publication_recovery_required',
      words: /state\\broker\\endpoint\.json\.old is no file a publication makes/,
      plant: (home) => plantBrokerFile(home, 'endpoint.json.old', '{}') },
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

  it('finds nothing in a temporary endpoint file a publication may still be writing', async () => {
    const home = await freshHome();
    await plantTemporary(home, 'd', 0);
    const result = await check(home);
    assert.equal(result.code, 0, result.stdout + result.stderr);
    assert.deepEqual(result.findings, []);
  });

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

// The servicing side's repair: a home left in "RECOVERY_REQUIRED" is verified
// against the committed record the recovery kept and only then committed
// again; a file that does not verify is named and nothing changes.
async function repair(home) {
  const { code, stdout, stderr } = await run(installerPath(), ['--repair', '--home', home.home]);
  const refusals = stdout.split(/\r?\n/).map((line) => line.match(/^ {2}(.+?): (.*) {2}\[([^\]]+)\]$/))
    .filter(Boolean).map(([, file, , reason]) => [file, reason]);
  return { code, stdout, stderr, refusals };
}

const SERVICING = 'state\\runtime\\servicing.json';
const recoveryRecord = (home, previous) =>
  '{"schema_version":"nuvra.runtime-servicing.v1","state":"RECOVERY_REQUIRED",' +
  `"installation_root":${J(home.home)},"owner_sid_hash":${J(home.ownerSidHash)},` +
  `"previous_record_text":${J(previous)}}\n`;

// The entry runtime's start: what initialize threw, or 'started'.
async function startReason(home, options = {}) {
  const launch = await launchRuntime({ home, role: 'entry', ...options, source: `
import { createRequire } from 'node:module';
const addon = createRequire(import.meta.url)(${J(addonPath.testbed)});
let seen = 'started';
try { addon.initialize(); addon.finishStartup(); } catch (e) { seen = e.message; }
console.log(JSON.stringify(seen));
` });
  return JSON.parse(launch.stdout.trim().split(/\r?\n/).pop());
}

describe('home repair', () => {
  const homes = [];
  const freshHome = async () => {
    const home = await installHome({ ...device });
    homes.push(home);
    return home;
  };
  after(() => { for (const home of homes) removeHome(home); });

  it('commits a home that runtimes left for recovery again; check is clean and the next start succeeds', async () => {
    const home = await freshHome();
    const committed = read(home, SERVICING);
    // Twice: the second recovery wraps the first.
    assert.equal(await startReason(home, { abandonMutex: true }), 'profile_recovery_required');
    assert.equal(await startReason(home, { abandonMutex: true }), 'profile_recovery_required');
    const wrapped = JSON.parse(read(home, SERVICING));
    assert.equal(wrapped.state, 'RECOVERY_REQUIRED');
    assert.equal(JSON.parse(wrapped.previous_record_text).state, 'RECOVERY_REQUIRED');
    assert.equal((await check(home)).code, 1);

    const repaired = await repair(home);
    assert.equal(repaired.code, 0, repaired.stdout + repaired.stderr);
    assert.match(repaired.stdout, /^repaired: /m);
    assert.equal(read(home, SERVICING), committed);
    const after = await check(home);
    assert.equal(after.code, 0, after.stdout);
    assert.equal(await startReason(home), 'started');

    const again = await repair(home);
    assert.equal(again.code, 0, again.stdout + again.stderr);
    assert.match(again.stdout, /^nothing to repair/m);
    assert.equal(read(home, SERVICING), committed);
  });

  // Each fault planted in a home in "RECOVERY_REQUIRED", and the file and
  // reason the repair must name.
  const faults = [
    { fault: "a changed byte in the runtime's node.exe", refusals: (home) =>
      [[`runtime\\${home.version}\\runtime\\node\\node.exe`, 'installer_payload_digest']],
      plant: (home) => fs.appendFileSync(home.nodeImage, 'x') },
    { fault: 'a second hard link to the broker executable', refusals: (home) =>
      [[`runtime\\${home.version}\\connector\\vevadu-code\\client\\nuvra_windows_broker_native.exe`,
        'profile_guard_links']],
      plant: (home) => fs.linkSync(home.brokerImage, path.win32.join(home.scratch, 'broker-link.exe')) },
    { fault: 'a work marker that is not empty', refusals: () => [['state\\runtime\\work.v1', 'profile_marker']],
      plant: (home) => fs.appendFileSync(path.win32.join(home.home, 'state', 'runtime', 'work.v1'), 'x') },
    { fault: 'an admission record whose files are not the committed payload', refusals: () =>
      [['runtime\\current and state\\runtime\\admission.json', 'installer_payload_digest']],
      plant: (home) => replaceJson(home, 'state\\runtime\\admission.json', (r) => ({ ...r,
        payload: { ...r.payload, files: [...r.payload.files].reverse() } })) },
    { fault: 'a current-runtime record naming another version', refusals: () =>
      [['runtime\\current and state\\runtime\\admission.json', 'profile_selection']],
      plant: (home) => replaceJson(home, 'runtime\\current', (r) => ({ ...r, version: '2.0.0' })) },
    { fault: 'a recovery record that keeps no committed record', refusals: () =>
      [[SERVICING, 'installer_repair_record']], recovery: () => '{"schema_version":"nuvra.runtime-servicing.v1"}' },
    { fault: 'a recovery record keeping a committed record of another owner', refusals: () =>
      [[SERVICING, 'profile_selection']],
      recovery: (home, committed) => `${J({ ...JSON.parse(committed), owner_sid_hash: 'f'.repeat(64) })}\n` },
  ];
  for (const { fault, refusals, plant, recovery } of faults) {
    it(`refuses ${fault}, names it and changes nothing`, async () => {
      const home = await freshHome();
      const committed = read(home, SERVICING);
      await plant?.(home);
      await writeRecord(home, SERVICING, recoveryRecord(home, recovery?.(home, committed) ?? committed));
      const before = snapshot(home.home);
      const result = await repair(home);
      assert.equal(result.code, 1, result.stdout + result.stderr);
      assert.deepEqual(result.refusals, refusals(home), result.stdout);
      assert.match(result.stdout, /^nothing changed$/m);
      assert.deepEqual(snapshot(home.home), before);
      assert.equal(await startReason(home), 'profile_selection');
    });
  }

  it('refuses a command line with more than --home', async () => {
    const result = await run(installerPath(), ['--repair', '--home', 'C:\\', '--version', '1']);
    assert.equal(result.code, 2);
  });
});
