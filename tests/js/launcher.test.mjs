import { describe, it, before, after } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { createHash } from 'node:crypto';
import {
  installHome, launchRuntime, writeRecord, removeHome, raw, run, probePath, brokerBuild, nodeExe,
} from './lib/home.mjs';

const sha256 = (data) => createHash('sha256').update(data).digest('hex');
const hex64 = /^[0-9a-f]{64}$/;
const file = (home, ...parts) => path.win32.join(home.home, ...parts);
// "%08x:%08x%08x" of a file, from Node's own view of it (dev is the volume
// serial number, ino the file index).
function identityOf(p) {
  const s = fs.statSync(p, { bigint: true });
  return `${s.dev.toString(16).padStart(8, '0')}:${s.ino.toString(16).padStart(16, '0')}`;
}
// Runtimes that never acknowledge: a deadline far enough ahead, and keeping
// the runtime past it, lets a slow cold start under load finish anyway.
const patient = { deadlineMs: 20000, keepOnTimeout: true };
// The probe is the Windows unit-test executable installed as the home's node.exe.
const probeArgs = ['--gtest_also_run_disabled_tests', '--gtest_filter=HandoffProbe.*'];
function probeReport(launch) {
  const line = launch.stdout.split(/\r?\n/).find((l) => l.startsWith('PROBE '));
  assert.ok(line, `no probe report in: ${launch.stdout}${launch.stderr}${launch.launcherOutput}`);
  return JSON.parse(line.slice(6));
}

describe('installing a product home', () => {
  let home;
  before(async () => {
    home = await installHome({ version: '2.5.0', generation: '42', sessionId: 's-1', deviceId: 'd-1', consumerId: 'c-1' });
  });
  after(() => removeHome(home));

  it('copies node.exe and the native broker as single-link files with the admitted digests', () => {
    for (const [image, digest, source] of [[home.nodeImage, home.nodeSha256, nodeExe],
      [home.brokerImage, home.nativeSha256, brokerBuild.testbed]]) {
      const bytes = fs.readFileSync(image);
      assert.equal(sha256(bytes), digest);
      assert.equal(sha256(fs.readFileSync(source)), digest);
      assert.equal(fs.statSync(image).nlink, 1);
    }
    assert.equal(home.root, `${home.home}\\runtime\\2.5.0`);
  });

  it('writes the admission record naming the native entry, with the payload digest of its files', () => {
    const files = `[{"path":"runtime/node/node.exe","sha256":"${home.nodeSha256}"},` +
      `{"path":"connector/vevadu-code/client/nuvra_windows_broker_native.exe","sha256":"${home.nativeSha256}"}]`;
    assert.equal(home.payloadDigest, sha256(files));
    assert.equal(fs.readFileSync(file(home, 'state', 'runtime', 'admission.json'), 'utf8'),
      `{"schema_version":"nuvra.runtime-admission.v1","installation_root":${JSON.stringify(home.home)},` +
      `"owner_sid_hash":"${home.ownerSidHash}","payload":{"version":"2.5.0","digest":"${home.payloadDigest}",` +
      '"entrypoints":{"native":"connector/vevadu-code/client/nuvra_windows_broker_native.exe",' +
      `"runtime":"runtime/node/node.exe"},"files":${files}}}\n`);
  });

  it('writes the committed servicing record pinning both markers, and the current-runtime record', () => {
    const lifetime = file(home, 'state', 'runtime', 'lifetime.v1');
    const work = file(home, 'state', 'runtime', 'work.v1');
    assert.equal(home.lifetimeIdentity, identityOf(lifetime));
    assert.equal(home.workIdentity, identityOf(work));
    assert.notEqual(home.lifetimeIdentity, home.workIdentity);
    assert.equal(fs.readFileSync(file(home, 'state', 'runtime', 'servicing.json'), 'utf8'),
      `{"schema_version":"nuvra.runtime-servicing.v1","state":"COMMITTED","installation_root":${JSON.stringify(home.home)},` +
      `"owner_sid_hash":"${home.ownerSidHash}","digest":"${home.payloadDigest}","generation":"42","version":"2.5.0",` +
      `"lifetime_identity":"${home.lifetimeIdentity}","work_identity":"${home.workIdentity}"}\n`);
    assert.equal(fs.readFileSync(file(home, 'runtime', 'current'), 'utf8'),
      `{"schema_version":"nuvra.runtime-current.v1","version":"2.5.0","digest":"${home.payloadDigest}"}\n`);
  });

  it('creates both markers empty and with one link', () => {
    for (const name of ['lifetime.v1', 'work.v1']) {
      const s = fs.statSync(file(home, 'state', 'runtime', name));
      assert.deepEqual([s.size, s.nlink, s.isFile()], [0, 1, true], name);
    }
  });

  it('writes the device binding with the given values and derives the home key from the lower-cased home', () => {
    assert.equal(fs.readFileSync(file(home, 'windows-device-auth.json'), 'utf8'),
      '{"schema_version":"nuvra.windows-device-auth.v1","session_id":"s-1","device_id":"d-1","consumer_id":"c-1"}\n');
    assert.equal(home.homeKey, sha256(home.home.toLowerCase()));
    assert.match(home.ownerSidHash, hex64);
  });

  it('draws fresh random device values when none are given', async () => {
    const other = await installHome();
    try {
      const auth = JSON.parse(fs.readFileSync(file(other, 'windows-device-auth.json'), 'utf8'));
      for (const key of ['session_id', 'device_id', 'consumer_id']) assert.match(auth[key], /^[0-9a-f]{32}$/);
      assert.notEqual(auth.session_id, auth.device_id);
      assert.equal(other.version, '1.0.0');
      assert.equal(other.generation, '1');
    } finally {
      removeHome(other);
    }
  });

  it('refuses a home that already exists and a malformed version or generation', async () => {
    const args = ['--node', nodeExe, '--broker', brokerBuild.testbed];
    const installer = path.win32.join(path.win32.dirname(brokerBuild.testbed), 'nuvra_install_home.exe');
    const existing = await run(installer, ['--home', home.home, ...args]);
    assert.equal(existing.code, 3);
    assert.match(existing.stderr, /installer_directory/);
    const target = path.win32.join(home.scratch, 'never');
    assert.equal((await run(installer, ['--home', target, ...args, '--version', '1.0.'])).code, 2);
    assert.equal((await run(installer, ['--home', target, ...args, '--generation', '0'])).code, 2);
    assert.equal(fs.existsSync(target), false);
  });

  it('replaces a record in one step and leaves no temporary file behind', async () => {
    const relative = path.win32.join('runtime', 'current');
    await writeRecord(home, relative, '{"version":"x"}');
    assert.equal(fs.readFileSync(file(home, relative), 'utf8'), '{"version":"x"}');
    assert.deepEqual(fs.readdirSync(file(home, 'runtime')).sort(), ['2.5.0', 'current']);
  });
});

describe('launching node.exe from a product home', () => {
  let home;
  const showSource = `console.log(JSON.stringify({ env: process.env.NUVRA_PROFILE_HANDOFF ?? null,
    exec: process.execPath, ppid: process.ppid, args: process.argv.slice(2) }));`;
  const seen = (launch) => JSON.parse(launch.stdout);
  before(async () => { home = await installHome(); });
  after(() => removeHome(home));

  it('starts root\\runtime\\node\\node.exe with the handoff variable, its arguments and the launcher as parent', async () => {
    const launch = await launchRuntime({ home, source: showSource, args: ['a', 'b c', ''], ...patient });
    const runtime = seen(launch);
    assert.equal(runtime.exec, home.nodeImage);
    assert.deepEqual(runtime.args, ['a', 'b c', '']);
    assert.equal(runtime.env, launch.result.inherited.mapping);
    assert.equal(runtime.ppid, launch.handoff.parent_pid);
    assert.equal(launch.result.handoff_env, runtime.env);
    // node exits without acknowledging: the pipe closes.
    assert.deepEqual([launch.exitCode, launch.outcome, launch.runtimeExitCode, launch.ackByte], [21, 'closed', 0, null]);
  });

  it('hands over the entry handoff with every key, the guards and the handle values the runtime inherits', async () => {
    const launch = await launchRuntime({ home, source: '', ...patient });
    const h = launch.handoff;
    const inherited = launch.result.inherited;
    assert.deepEqual(Object.keys(h), ['schema_version', 'startup_ack', 'home', 'root', 'deadline_tick64',
      'runtime_role', 'owner_sid_hash', 'parent', 'parent_pid', 'parent_image', 's', 'generation',
      'payload_digest', 'guards', 'l', 'r']);
    assert.equal(h.schema_version, 'nuvra.profile-startup.v1');
    assert.equal(h.runtime_role, 'entry');
    assert.deepEqual([h.home, h.root, h.owner_sid_hash, h.generation, h.payload_digest],
      [home.home, home.root, home.ownerSidHash, home.generation, home.payloadDigest]);
    assert.equal(h.parent_image, home.brokerImage);
    assert.equal(h.deadline_tick64, launch.result.deadline_tick64);
    assert.deepEqual([h.startup_ack, h.s, h.parent, h.l, h.r],
      [inherited.ack, inherited.mutex, inherited.parent, inherited.guard0, inherited.guard1]);
    assert.deepEqual(h.guards.map((g) => g.path), [
      file(home, 'state', 'runtime', 'lifetime.v1'), file(home, 'state', 'runtime', 'work.v1'),
      home.nodeImage, home.brokerImage]);
    for (const [i, g] of h.guards.entries()) {
      assert.equal(g.handle, inherited[`guard${i}`]);
      const s = fs.statSync(g.path, { bigint: true });
      assert.deepEqual([BigInt(g.volume), BigInt(g.file_id)], [s.dev, s.ino], g.path);
    }
    // Exactly these handles, and none of the launcher's own.
    assert.deepEqual(Object.keys(inherited).sort(), ['ack', 'guard0', 'guard1', 'guard2', 'guard3',
      'mapping', 'mutex', 'parent', 'stderr', 'stdin', 'stdout']);
    const own = new Set(Object.values(launch.result.withheld));
    for (const value of Object.values(inherited)) assert.ok(!own.has(value), value);
  });

  it('marks a job startup with its schema, kind and purpose, and a resident startup with its role', async () => {
    const [job, resident] = await Promise.all([
      launchRuntime({ home, role: 'job', purpose: 'connect', source: '', ...patient }),
      launchRuntime({ home, role: 'resident', source: '', ...patient }),
    ]);
    assert.equal(job.handoff.schema_version, 'nuvra.profile-startup-job.v1');
    assert.equal(job.handoff.job_kind, 'setup');
    assert.equal(job.handoff.account_purpose, 'connect');
    assert.equal('runtime_role' in job.handoff, false);
    assert.equal(resident.handoff.runtime_role, 'resident');
    assert.equal(resident.handoff.schema_version, 'nuvra.profile-startup.v1');
  });

  it('gives an ordinary startup a deadline 3,000 ms ahead and a job startup 30,000 ms', async () => {
    const sample = (launch) => BigInt(launch.handoff.deadline_tick64);
    const [entry, job] = await Promise.all([
      launchRuntime({ home, source: '', waitExit: false, keepOnTimeout: true }),
      launchRuntime({ home, role: 'job', source: '', keepOnTimeout: true }),
    ]);
    // Both launchers took their ticks within the same few seconds.
    const gap = sample(job) - sample(entry);
    assert.ok(gap > 20000n && gap < 34000n, `gap ${gap}`);
  });

  it('applies handoff edits: replaced values, removed keys, raw text and placeholders', async () => {
    const launch = await launchRuntime({
      home, source: showSource, ...patient,
      handoff: { parent_pid: 4, runtime_role: undefined, extra: '{work}', home: 'C:\\elsewhere', launcher: raw('{parent_pid}') },
    });
    const h = launch.handoff;
    assert.equal(h.parent_pid, 4);
    assert.equal('runtime_role' in h, false);
    assert.equal(h.extra, launch.result.inherited.guard1);
    assert.equal(h.home, 'C:\\elsewhere');
    assert.equal(h.launcher, seen(launch).ppid);
    assert.deepEqual(Object.keys(h).slice(-2), ['extra', 'launcher']);
  });

  it('takes a whole template, and hands over text that is not JSON as it stands', async () => {
    const launch = await launchRuntime({ home, source: '', ...patient, template: '{"s":"{mutex}",oops' });
    assert.equal(launch.result.handoff_text, `{"s":"${launch.result.inherited.mutex}",oops`);
    assert.equal(launch.handoff, null);
  });

  it('can leave the variable out or set it to any text', async () => {
    const [absent, text, empty] = await Promise.all([null, 'x{mapping}', ''].map((handoffEnv) =>
      launchRuntime({ home, source: showSource, handoffEnv, ...patient })));
    assert.equal(seen(absent).env, null);
    assert.equal(absent.result.handoff_env, null);
    assert.equal(seen(text).env, `x${text.result.inherited.mapping}`);
    assert.equal(seen(empty).env, '');
  });

  it('ends a runtime that lets its deadline pass with exit code 70, or keeps it when asked', async () => {
    const sleeper = 'setTimeout(() => console.log("done"), 1500);';
    const ended = await launchRuntime({ home, source: sleeper, deadlineMs: 200 });
    assert.deepEqual([ended.exitCode, ended.outcome, ended.runtimeExitCode, ended.stdout], [20, 'timeout', 70, '']);
    const kept = await launchRuntime({ home, source: sleeper, deadlineMs: 200, keepOnTimeout: true });
    assert.deepEqual([kept.exitCode, kept.outcome, kept.runtimeExitCode], [20, 'timeout', 0]);
    assert.match(kept.stdout, /done/);
  });

  it('reports a deadline already passed as a timeout at once', async () => {
    const launch = await launchRuntime({ home, source: 'setTimeout(() => {}, 500);', deadlineMs: -5000, keepOnTimeout: true });
    assert.deepEqual([launch.exitCode, launch.outcome], [20, 'timeout']);
    assert.ok(BigInt(launch.handoff.deadline_tick64) > 0n);
  });

  it('starts the runtime with its own token when the launcher itself is not elevated', async () => {
    // The runtime started here is not elevated; the launcher it starts in
    // turn takes its own token instead of a linked one.
    const inner = path.win32.join(home.scratch, 'inner');
    fs.writeFileSync(`${inner}.mjs`, 'console.log("inner");');
    const innerArgs = ['launch', '--home', home.home, '--version', home.version, '--generation', home.generation,
      '--payload-digest', home.payloadDigest, '--deadline-ms', '20000', '--keep-on-timeout', '--wait-exit',
      '--stdout', `${inner}.out`, '--result', `${inner}.json`, '--', `${inner}.mjs`];
    const outer = await launchRuntime({
      home, ...patient, args: [JSON.stringify([home.brokerImage, ...innerArgs])],
      source: `import { spawnSync } from 'node:child_process';
        const [file, ...args] = JSON.parse(process.argv[2]);
        const r = spawnSync(file, args, { stdio: 'ignore' });
        console.log(JSON.stringify({ status: r.status, error: r.error?.code ?? null }));`,
    });
    assert.deepEqual(JSON.parse(outer.stdout), { status: 21, error: null });
    const result = JSON.parse(fs.readFileSync(`${inner}.json`, 'utf8'));
    assert.deepEqual([result.outcome, result.runtime_exit_code], ['closed', 0]);
    assert.equal(fs.readFileSync(`${inner}.out`, 'utf8').trim(), 'inner');
    // The inner runtime's parent is the inner launcher, a child of the outer runtime.
    assert.equal(JSON.parse(result.handoff_text).parent_image, home.brokerImage);
  });

  it('refuses a command line it cannot act on and reports a home it cannot use', async () => {
    const usage = await run(home.brokerImage, ['launch', '--home', home.home]);
    assert.equal(usage.code, 2);
    assert.match(usage.stderr, /--version is required/);
    assert.equal((await run(home.brokerImage, ['no-such-role'])).code, 2);
    const missing = await launchRuntime({ home: { ...home, home: `${home.home}-missing` }, source: '' });
    assert.deepEqual([missing.exitCode, missing.outcome, missing.reason], [3, 'setup_failed', 'launcher_home']);
    const noVersion = await launchRuntime({ home: { ...home, version: '9.9.9' }, source: '' });
    assert.deepEqual([noVersion.exitCode, noVersion.reason], [3, 'launcher_guard']);
  });
});

describe('the startup custody as a native runtime sees it', () => {
  let home;
  const own = { own_mutex: '{own.mutex}', own_mapping: '{own.mapping}' };
  const probe = (options = {}) => launchRuntime({ home, args: probeArgs, ...options, handoff: { ...own, ...options.handoff } });
  before(async () => { home = await installHome({ node: probePath() }); });
  after(() => removeHome(home));

  it('acknowledges through the pipe after finding every handle where the handoff says', async () => {
    const launch = await probe();
    const p = probeReport(launch);
    assert.deepEqual([launch.exitCode, launch.outcome, launch.ackByte, launch.runtimeExitCode], [0, 'acknowledged', 1, 0]);
    assert.equal(p.ack_written, true);
    assert.equal(p.length_word, Buffer.byteLength(launch.result.handoff_text));
    assert.deepEqual([p.read_view, p.write_view], [true, false]);
    assert.deepEqual([p.ack_is_pipe, p.mutex_is_named_mutex, p.mutex_wait], [true, true, 'owned']);
    assert.equal(p.parent_handle_pid, launch.handoff.parent_pid);
    assert.equal(p.inherited_from_pid, launch.handoff.parent_pid);
    assert.equal(p.parent_running, true);
    assert.equal(p.elevated, false);
    for (const name of ['mapping', 'ack', 'mutex', 'parent']) {
      assert.deepEqual([p[`${name}_valid`], p[`${name}_inheritable`]], [true, true], name);
    }
    assert.equal(p.guards.length, 4);
    for (const [i, g] of p.guards.entries()) {
      const expected = launch.handoff.guards[i];
      assert.deepEqual([g.handle_valid, g.links, g.path, g.volume, g.file_id],
        [true, 1, expected.path, expected.volume, expected.file_id]);
    }
    // The launcher's own mutex and writable mapping handles did not come along.
    assert.deepEqual([p.own_mutex_is_ours, p.own_mapping_is_ours], [false, false]);
    // Everything the launcher and the installer made passes the runtime's owner-only check.
    assert.deepEqual(p.owner_only, { flavour: 'testbed', mutex: true, lifetime: true, work: true,
      home: true, servicing: true, admission: true, current: true, device_auth: true });
  });

  it('hands over a writable mapping, a lying length word or a small mapping only when asked', async () => {
    const writable = probeReport(await probe({ mappingWritable: true, env: { NUVRA_PROBE_ACK: 'none' }, ...patient }));
    assert.equal(writable.write_view, true);
    const lying = probeReport(await probe({ lengthWord: 262141, env: { NUVRA_PROBE_ACK: 'none' }, ...patient }));
    assert.deepEqual([lying.length_word, lying.text_read], [262141, false]);
    const small = probeReport(await probe({ mappingSize: 4096, env: { NUVRA_PROBE_ACK: 'none' }, ...patient }));
    assert.deepEqual([small.read_view, small.text_read], [false, false]);
  });

  it('hands over a handoff of exactly 262,140 bytes and refuses one byte more', async () => {
    const text = (size) => `{"pad":"${'x'.repeat(size - 10)}"}`;
    assert.equal(text(262140).length, 262140);
    const withTemplate = (template) => launchRuntime({ home, args: probeArgs, template, ...patient });
    const full = await withTemplate(text(262140));
    assert.deepEqual([probeReport(full).length_word, probeReport(full).text_read], [262140, true]);
    const over = await withTemplate(text(262141));
    assert.deepEqual([over.exitCode, over.outcome, over.reason], [3, 'setup_failed', 'launcher_handoff_size']);
    const tight = await probe({ mappingSize: 64 });
    assert.deepEqual([tight.exitCode, tight.reason], [3, 'launcher_handoff_size']);
    const empty = await withTemplate('');
    assert.deepEqual([empty.exitCode, empty.reason], [3, 'launcher_handoff_size']);
  });

  it('tells a wrong acknowledgement byte, a closed pipe and a late byte apart', async () => {
    const wrong = await probe({ env: { NUVRA_PROBE_ACK: '2' } });
    assert.deepEqual([wrong.exitCode, wrong.outcome, wrong.ackByte], [22, 'invalid', 2]);
    const silent = await probe({ env: { NUVRA_PROBE_ACK: 'none' } });
    assert.deepEqual([silent.exitCode, silent.outcome, silent.ackByte], [21, 'closed', null]);
    const late = await probe({ env: { NUVRA_PROBE_DELAY_MS: '1200' }, deadlineMs: 300, keepOnTimeout: true });
    assert.deepEqual([late.exitCode, late.outcome], [20, 'timeout']);
  });

  it('makes the runtime\'s acknowledgement fail when the launcher closed its end', async () => {
    const launch = await probe({ closeAck: true });
    assert.deepEqual([launch.exitCode, launch.outcome], [23, 'abandoned']);
    assert.equal(probeReport(launch).ack_written, false);
  });

  it('hands over an abandoned or a busy serialisation mutex when asked', async () => {
    const abandoned = probeReport(await probe({ abandonMutex: true }));
    assert.equal(abandoned.mutex_wait, 'abandoned');
    const busy = probeReport(await probe({ holdMutexMs: 2000 }));
    assert.equal(busy.mutex_wait, 'busy');
  });

  it('names a claimed parent that is not the process that started the runtime', async () => {
    const launch = await probe({ claimedParent: process.pid });
    const p = probeReport(launch);
    assert.equal(launch.handoff.parent_pid, process.pid);
    assert.equal(p.parent_handle_pid, process.pid);
    assert.notEqual(p.inherited_from_pid, process.pid);
    assert.equal(launch.handoff.parent_image.toLowerCase(), process.execPath.toLowerCase());
  });

  it('names the launcher that ran as the parent image, also one outside the runtime', async () => {
    const launch = await probe({ launcher: 'build' });
    assert.equal(launch.handoff.parent_image.toLowerCase(), brokerBuild.testbed.toLowerCase());
    assert.equal(probeReport(launch).inherited_from_pid, launch.handoff.parent_pid);
    assert.equal(launch.outcome, 'acknowledged');
  });

  it('adds further guards, directories included, after the four of its own', async () => {
    const launch = await probe({ guards: [home.root] });
    const p = probeReport(launch);
    assert.equal(p.guards.length, 5);
    assert.equal(p.guards[4].path, home.root);
    assert.equal(launch.handoff.guards[4].path, home.root);
    assert.equal(launch.outcome, 'acknowledged');
  });

  it('does the same from the release build\'s installer and launcher', async () => {
    const release = await installHome({ flavour: 'release', node: probePath('release') });
    try {
      assert.equal(sha256(fs.readFileSync(release.brokerImage)), sha256(fs.readFileSync(brokerBuild.release)));
      const launch = await launchRuntime({ home: release, args: probeArgs });
      const p = probeReport(launch);
      assert.deepEqual([launch.exitCode, launch.outcome, p.elevated, p.mutex_is_named_mutex, p.write_view],
        [0, 'acknowledged', false, true, false]);
      // The mutex keeps its exact descriptor; Wine rebuilds file security from
      // mode bits, which the strict release check refuses.
      assert.deepEqual(p.owner_only, { flavour: 'release', mutex: true, lifetime: false, work: false,
        home: false, servicing: false, admission: false, current: false, device_auth: false });
    } finally {
      removeHome(release);
    }
  });

  it('passes a decoy mutex only when the handoff names it', async () => {
    const launch = await probe({ handoff: { s: '{decoy_mutex}' } });
    const p = probeReport(launch);
    assert.equal(p.mutex_valid, true);
    assert.equal(p.mutex_is_named_mutex, false);
    assert.ok(launch.result.inherited.decoy_mutex);
    assert.equal((await probe()).result.inherited.decoy_mutex, undefined);
  });
});
