// initialize and finishStartup in real runtimes: each case starts node.exe
// from a product home through the home's own launcher, with a handoff that is
// the launcher's default or a variation of it, and reads back what the
// runtime's script saw.
import { describe, it, before, after } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { randomBytes } from 'node:crypto';
import { addonPath } from './lib/addon.mjs';
import { installHome, launchRuntime, writeRecord, removeHome, raw } from './lib/home.mjs';

const file = (home, ...parts) => path.win32.join(home.home, ...parts);

// The script a runtime runs: loads the addon, runs `body` with `addon`,
// `out` and `attempt` in scope and prints `out` as one JSON line.
function script(body, flavour = 'testbed') {
  return `import { createRequire } from 'node:module';
const require = createRequire(import.meta.url);
const addon = require(${JSON.stringify(addonPath[flavour])});
const out = {};
const attempt = (fn) => { try { return { value: fn() }; } catch (e) { return { error: e.message }; } };
${body}
console.log(JSON.stringify(out));
`;
}

const initializeOnly = script('out.init = attempt(() => addon.initialize());');
const initializeAndFinish = script(`out.init = attempt(() => addon.initialize());
out.finish = attempt(() => addon.finishStartup());`);

async function start(options) {
  const launch = await launchRuntime(options);
  const line = launch.stdout.trim().split(/\r?\n/).pop();
  assert.ok(line, `no output; launcher: ${launch.launcherOutput} ${launch.reason} stderr: ${launch.stderr}`);
  return { ...launch, seen: JSON.parse(line) };
}

// The reason initialize failed with, in a runtime started with `options`.
// Unless a case is about ordinary startups, it starts a job (purpose "none"):
// its 30,000 ms window keeps a slow start on a busy machine from turning
// the expected reason into a timeout.
async function initializeReason(home, options = {}) {
  const launch = await start({ home, source: initializeOnly, role: 'job', ...options });
  return launch.seen.init.error ?? 'succeeded';
}

// Ordinary startups have 3,000 ms: started one at a time.
async function ordinaryReason(home, options = {}) {
  return initializeReason(home, { role: undefined, ...options });
}

describe('a runtime started with valid custody', () => {
  let home;
  let launch;
  const attemptId = randomBytes(16).toString('hex');
  const traceDir = 'C:\\Tevra\\ona\\temp\\st24data\\trace';
  before(async () => {
    home = await installHome();
    fs.mkdirSync(traceDir, { recursive: true });
    launch = await start({
      home,
      env: { NUVRA_STARTUP_ATTEMPT: attemptId },
      source: script(`out.early = attempt(() => addon.finishStartup());
out.first = attempt(() => addon.initialize());
out.variableAfter = process.env.NUVRA_PROFILE_HANDOFF ?? null;
out.second = attempt(() => addon.initialize());
out.distinct = out.first.value !== out.second.value;
out.withArgument = attempt(() => addon.initialize(1));
out.finish = attempt(() => addon.finishStartup(1, 2, 3));
out.finishAgain = attempt(() => addon.finishStartup());`),
    });
  });
  after(() => removeHome(home));

  it('returns home, root, digest, generation, deadline and guard paths in that order', () => {
    const value = launch.seen.first.value;
    assert.ok(value, JSON.stringify(launch.seen));
    const h = launch.handoff;
    assert.deepEqual(Object.keys(value),
      ['home', 'root', 'payload_digest', 'generation', 'deadline_tick64', 'guards']);
    assert.deepEqual(value, {
      home: h.home, root: h.root, payload_digest: h.payload_digest, generation: h.generation,
      deadline_tick64: h.deadline_tick64, guards: h.guards.map((g) => g.path),
    });
    assert.equal(value.home, home.home);
  });

  it('answers a second initialize with an equal new object without running the proof again', () => {
    // The handoff variable is gone after the first call, so a second proof
    // would fail; the second call only repeats the stored answer.
    assert.equal(launch.seen.variableAfter, null);
    assert.deepEqual(launch.seen.second.value, launch.seen.first.value);
    assert.equal(launch.seen.distinct, true);
    assert.equal(launch.seen.withArgument.error, 'profile_arguments');
  });

  it('refuses finishStartup before initialize and acknowledges once after it', () => {
    assert.equal(launch.seen.early.error, 'profile_custody_required');
    assert.equal(launch.seen.finish.value, true);
    assert.equal(launch.seen.finishAgain.value, true);
    assert.deepEqual([launch.outcome, launch.ackByte, launch.runtimeExitCode], ['acknowledged', 1, 0]);
  });

  it('traces the native entry once, with the tick of the first call, and the acknowledgement', () => {
    const trace = path.win32.join(traceDir, `${attemptId}-${launch.runtimePid}-native.jsonl`);
    const lines = fs.readFileSync(trace, 'utf8').trim().split('\n').map((l) => JSON.parse(l));
    assert.deepEqual(lines.map((l) => l.stage), ['native_profile_entry', 'startup_ack_sent']);
    assert.ok(lines[0].monotonic_ms <= lines[1].monotonic_ms);
    fs.rmSync(trace, { force: true });
  });
});

describe('the handoff variable and mapping', () => {
  let home;
  before(async () => { home = await installHome(); });
  after(() => removeHome(home));

  it('takes one digit as text and refuses an empty value or one of 32 characters', async () => {
    const [digit, empty, long, absent] = await Promise.all([
      initializeReason(home, { handoffEnv: '7' }),
      initializeReason(home, { handoffEnv: '' }),
      initializeReason(home, { handoffEnv: '1'.repeat(32) }),
      initializeReason(home, { handoffEnv: null }),
    ]);
    assert.notEqual(digit, 'profile_custody_required');
    assert.notEqual(digit, 'succeeded');
    assert.deepEqual([empty, long, absent],
      ['profile_custody_required', 'profile_custody_required', 'profile_custody_required']);
  });

  it('accepts a length word of 262140 and refuses 262141', async () => {
    const [longest, tooLong, zero] = await Promise.all([
      initializeReason(home, { lengthWord: 262140 }),
      initializeReason(home, { lengthWord: 262141 }),
      initializeReason(home, { lengthWord: 0 }),
    ]);
    // The view is read; only the zero bytes after the real text then fail
    // to parse.
    assert.equal(longest, 'profile_native_api');
    assert.deepEqual([tooLong, zero], ['profile_mapping', 'profile_mapping']);
  });

  it('refuses a mapping handed over writable, and one smaller than the view', async () => {
    const [writable, small] = await Promise.all([
      initializeReason(home, { mappingWritable: true }),
      initializeReason(home, { mappingSize: 4096 }),
    ]);
    assert.deepEqual([writable, small], ['profile_mapping_writable', 'profile_mapping']);
  });

  it('reports a handoff that is not JSON as a native failure', async () => {
    assert.equal(await initializeReason(home, { template: '{"schema_version":' }), 'profile_native_api');
  });
});

describe('startup deadlines, schema and role', () => {
  let home;
  before(async () => { home = await installHome(); });
  after(() => removeHome(home));

  it('gives an ordinary startup 3,000 ms and a job startup 30,000 ms', async () => {
    // 8,000 ms is beyond the ordinary window however fast the runtime starts
    // and well within the job window.
    const ordinary = await ordinaryReason(home, { deadlineMs: 8000, keepOnTimeout: true });
    const job = await initializeReason(home, { deadlineMs: 8000 });
    assert.deepEqual([ordinary, job], ['profile_startup_timeout', 'succeeded']);
  });

  it('fails both kinds with a deadline that has arrived', async () => {
    const [ordinary, job] = await Promise.all([
      ordinaryReason(home, { deadlineMs: 0, keepOnTimeout: true }),
      initializeReason(home, { deadlineMs: 0, keepOnTimeout: true }),
    ]);
    assert.deepEqual([ordinary, job], ['profile_startup_timeout', 'profile_startup_timeout']);
  });

  it('refuses the resident role in a job startup, and other schemas and job kinds', async () => {
    const [resident, schema, kind] = await Promise.all([
      initializeReason(home, { handoff: { runtime_role: 'resident' } }),
      initializeReason(home, { handoff: { schema_version: 'nuvra.profile-startup.v2' } }),
      initializeReason(home, { handoff: { job_kind: 'worker' } }),
    ]);
    assert.deepEqual([resident, schema, kind],
      ['profile_resident_role', 'profile_schema', 'profile_startup_job_kind']);
  });

  it('lets a resident start reserve only when the home\'s broker executable is its parent', async () => {
    const fromHome = await initializeReason(home, { role: 'resident' });
    const fromBuild = await initializeReason(home, { role: 'resident', launcher: 'build' });
    assert.deepEqual([fromHome, fromBuild], ['succeeded', 'profile_resident_parent']);
  });

  it('requires a ready account worker only for a job with an account purpose', async () => {
    const none = await start({ home, role: 'job', purpose: 'none', source: initializeAndFinish });
    const connect = await start({ home, role: 'job', purpose: 'connect', source: initializeAndFinish });
    assert.equal(none.seen.finish.value, true);
    assert.equal(none.outcome, 'acknowledged');
    assert.equal(connect.seen.finish.error, 'profile_account_not_ready');
    assert.equal(connect.outcome, 'closed');
    const other = await initializeReason(home, { handoff: { account_purpose: 'logout' } });
    assert.equal(other, 'profile_startup_purpose');
  });
});

describe('owner, image, parent and the serialisation mutex', () => {
  let home;
  before(async () => { home = await installHome(); });
  after(() => removeHome(home));

  it('refuses another owner, another runtime image and a wrong parent', async () => {
    const [owner, image, parentPid] = await Promise.all([
      initializeReason(home, { handoff: { owner_sid_hash: 'f'.repeat(64) } }),
      initializeReason(home, { handoff: { root: `${home.root}x` } }),
      initializeReason(home, { handoff: { parent_pid: 4 } }),
    ]);
    assert.deepEqual([owner, image, parentPid], ['profile_owner', 'profile_node_image', 'profile_parent']);
    const image2 = await initializeReason(home, { handoff: { parent_image: 'C:\\windows\\notepad.exe' } });
    assert.equal(image2, 'profile_parent');
  });

  it('proves the mutex by the home key, the same for a home spelled in other case', async () => {
    const [decoy, elsewhere, upper] = await Promise.all([
      initializeReason(home, { handoff: { s: '{decoy_mutex}' } }),
      initializeReason(home, { handoff: { home: 'C:\\elsewhere' } }),
      // The mutex proof passes; the servicing record then names the home in
      // its own spelling, byte for byte.
      initializeReason(home, { handoff: { home: home.home.toUpperCase() } }),
    ]);
    assert.deepEqual([decoy, elsewhere, upper],
      ['profile_owner_object', 'profile_owner_absent', 'profile_selection']);
  });
});

describe('an abandoned serialisation mutex', () => {
  let home;
  let committed;
  before(async () => {
    home = await installHome();
    committed = fs.readFileSync(file(home, 'state', 'runtime', 'servicing.json'), 'utf8');
  });
  after(() => removeHome(home));

  it('marks the home for recovery, wraps an earlier recovery, and fails the next startup', async () => {
    const servicing = () => fs.readFileSync(file(home, 'state', 'runtime', 'servicing.json'), 'utf8');
    assert.equal(await initializeReason(home, { abandonMutex: true }), 'profile_recovery_required');
    const first = servicing();
    assert.ok(first.startsWith('{"schema_version":"nuvra.runtime-servicing.v1","state":"RECOVERY_REQUIRED",' +
      `"installation_root":${JSON.stringify(home.home)},"owner_sid_hash":"${home.ownerSidHash}",` +
      '"previous_record_text":"'), first);
    assert.ok(first.endsWith('"}\n'));
    assert.equal(JSON.parse(first).previous_record_text, committed);

    assert.equal(await initializeReason(home, { abandonMutex: true }), 'profile_recovery_required');
    const second = JSON.parse(servicing());
    assert.equal(second.previous_record_text, first);
    assert.equal(JSON.parse(second.previous_record_text).previous_record_text, committed);

    // The mutex was released after the recovery: the next startup gets it
    // and fails its selection.
    assert.equal(await ordinaryReason(home), 'profile_selection');
  });
});

describe('guards and markers', () => {
  let home;
  before(async () => { home = await installHome(); });
  after(() => removeHome(home));

  const guard = (n, pathJson) => `{"handle":"{guard${n}.handle}","path":${pathJson ?? `"{guard${n}.path}"`},` +
    `"volume":{guard${n}.volume},"file_id":"{guard${n}.file_id}"}`;

  it('counts 1 to 4,096 guards and refuses 4,097 or none', async () => {
    const many = (n) => raw(`[${Array(n).fill('{}').join(',')}]`);
    const [most, tooMany, none] = await Promise.all([
      initializeReason(home, { handoff: { guards: many(4096) } }),
      initializeReason(home, { handoff: { guards: many(4097) } }),
      initializeReason(home, { handoff: { guards: raw('[]') } }),
    ]);
    // 4,096 passes the count; its first element then has no handle.
    assert.deepEqual([most, tooMany, none], ['profile_string', 'profile_guards', 'profile_guards']);
  });

  it('refuses two guards whose paths differ only in case, and one handle as both markers', async () => {
    const upperNode = JSON.stringify(home.nodeImage.toUpperCase());
    const [duplicate, bothMarkers] = await Promise.all([
      initializeReason(home, {
        handoff: { guards: raw(`[${guard(0)},${guard(1)},${guard(2)},${guard(2, upperNode)},${guard(3)}]`) },
      }),
      initializeReason(home, { handoff: { r: '{lifetime}' } }),
    ]);
    assert.deepEqual([duplicate, bothMarkers], ['profile_guard_duplicate', 'profile_markers']);
  });

  it('refuses a guard that names another file, and a missing work marker', async () => {
    const [wrongId, noWork] = await Promise.all([
      initializeReason(home, { handoff: { guards: raw(`[${guard(0)},${guard(1)},` +
        '{"handle":"{guard2.handle}","path":"{guard2.path}","volume":{guard2.volume},"file_id":"1"}]') } }),
      initializeReason(home, { handoff: { guards: raw(`[${guard(0)},${guard(2)},${guard(3)}]`) } }),
    ]);
    assert.deepEqual([wrongId, noWork], ['profile_guard', 'profile_markers']);
  });

  it('refuses a one-byte work marker and a marker with a second hard link', async () => {
    const work = file(home, 'state', 'runtime', 'work.v1');
    const lifetime = file(home, 'state', 'runtime', 'lifetime.v1');
    fs.appendFileSync(work, 'x');
    try {
      assert.equal(await initializeReason(home), 'profile_marker');
    } finally {
      fs.truncateSync(work, 0);
    }
    const alias = path.win32.join(home.scratch, 'lifetime-alias');
    fs.linkSync(lifetime, alias);
    try {
      assert.equal(await initializeReason(home), 'profile_guard_links');
    } finally {
      fs.rmSync(alias);
    }
    assert.equal(await ordinaryReason(home), 'succeeded');
  });
});

describe('the admission record', () => {
  let home;
  let admission;
  const admissionPath = path.win32.join('state', 'runtime', 'admission.json');
  before(async () => {
    home = await installHome();
    admission = fs.readFileSync(file(home, admissionPath), 'utf8');
  });
  after(() => removeHome(home));

  async function withAdmission(edit) {
    const record = JSON.parse(admission);
    edit(record);
    await writeRecord(home, admissionPath, JSON.stringify(record));
    try {
      return await initializeReason(home);
    } finally {
      await writeRecord(home, admissionPath, admission);
    }
  }

  it('refuses the native entry listed twice, even with equal hashes', async () => {
    const reason = await withAdmission((r) => {
      const native = r.payload.files.find((f) => f.path.endsWith('nuvra_windows_broker_native.exe'));
      r.payload.files.push({ ...native });
    });
    assert.equal(reason, 'profile_native_target');
  });

  it('refuses an uppercase hash and another native entry point', async () => {
    const upper = await withAdmission((r) => {
      for (const f of r.payload.files) f.sha256 = f.sha256.toUpperCase();
    });
    const entry = await withAdmission((r) => { r.payload.entrypoints.native = 'runtime/node/node.exe'; });
    assert.deepEqual([upper, entry], ['profile_native_target', 'profile_native_target']);
  });

  it('refuses an admission for another payload', async () => {
    assert.equal(await withAdmission((r) => { r.payload.digest = '0'.repeat(64); }), 'profile_selection');
  });
});

describe('finishStartup', () => {
  let home;
  before(async () => { home = await installHome(); });
  after(() => removeHome(home));

  it('fails when the launcher has closed its end of the pipe, and again on retry', async () => {
    const launch = await start({
      home, role: 'job', closeAck: true,
      source: script(`out.init = attempt(() => addon.initialize());
out.finish = attempt(() => addon.finishStartup());
out.retry = attempt(() => addon.finishStartup());`),
    });
    assert.ok(launch.seen.init.value, JSON.stringify(launch.seen));
    assert.equal(launch.seen.finish.error, 'profile_startup_ack');
    assert.equal(launch.seen.retry.error, 'profile_startup_ack');
  });

  it('refuses after the startup deadline has passed', async () => {
    const launch = await start({
      home, role: 'job', deadlineMs: 5000, keepOnTimeout: true,
      source: script(`out.init = attempt(() => addon.initialize());
const until = Date.now() + 5200; while (Date.now() < until) {}
out.finish = attempt(() => addon.finishStartup());`),
    });
    assert.ok(launch.seen.init.value, JSON.stringify(launch.seen));
    assert.equal(launch.seen.finish.error, 'profile_startup_timeout');
    assert.equal(launch.outcome, 'timeout');
  });
});

describe('calls back into the addon from inside initialize', () => {
  let home;
  before(async () => { home = await installHome(); });
  after(() => removeHome(home));

  // initialize runs the product's JavaScript twice over: the engine's
  // JSON.parse as it stands, and a getter on Object.prototype for the
  // absent "runtime_role". Each calls the addon again; every call answers
  // at once, and the outer initialize still succeeds.
  it('refuses a nested initialize and answers other entries without waiting', async () => {
    const launch = await start({
      home, role: 'job',
      source: script(`const nested = {};
const reenter = (where) => {
  if (nested[where]) return;
  nested[where] = {
    initialize: attempt(() => addon.initialize()),
    finishStartup: attempt(() => addon.finishStartup()),
    newDiagnosticEvent: attempt(() => addon.newDiagnosticEvent()),
    endWork: attempt(() => addon.endWork('1')),
  };
};
const parse = JSON.parse;
JSON.parse = function (...args) { reenter('parse'); return parse.apply(this, args); };
Object.defineProperty(Object.prototype, 'runtime_role', {
  configurable: true, get() { reenter('getter'); return undefined; },
});
out.init = attempt(() => addon.initialize());
JSON.parse = parse;
delete Object.prototype.runtime_role;
out.nested = nested;
out.poisonedAfter = attempt(() => addon.initialize());
out.finish = attempt(() => addon.finishStartup());`),
    });
    assert.ok(launch.seen.init.value, JSON.stringify(launch.seen));
    const expected = {
      initialize: { error: 'profile_poisoned' },
      finishStartup: { error: 'profile_custody_required' },
      newDiagnosticEvent: { error: 'profile_custody_required' },
      endWork: { error: 'profile_work_required' },
    };
    assert.deepEqual(launch.seen.nested, { parse: expected, getter: expected });
    // The refusal of the nested call poisoned nothing.
    assert.deepEqual(launch.seen.poisonedAfter.value, launch.seen.init.value);
    assert.equal(launch.seen.finish.value, true);
    assert.equal(launch.outcome, 'acknowledged');
  });
});

describe('the release flavour under Wine', () => {
  let home;
  before(async () => { home = await installHome(); });
  after(() => removeHome(home));

  it('refuses the servicing record, which Wine cannot show owner-only', async () => {
    const launch = await start({ home, role: 'job', source: script('out.init = attempt(() => addon.initialize());', 'release') });
    assert.equal(launch.seen.init.error, 'profile_security');
  });
});
