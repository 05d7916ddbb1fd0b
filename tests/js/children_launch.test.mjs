// Managed children in a real runtime: spawnAsync on behalf of an open work,
// then write, end, poll, kill and dispose against the home's own broker
// executable in its managed-child role.
import { describe, it, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { addonPath } from './lib/addon.mjs';
import { installHome, launchRuntime, removeHome, brokerBuild, startRetries } from './lib/home.mjs';
import { MAX_RETRIES } from './lib/creation_retries.mjs';

const creationRetriesUrl = new URL('./lib/creation_retries.mjs', import.meta.url).href;

// The runtime's script: `spawn(args, env, program)` opens a fresh work for
// every launch (a warm work lasts one second), `drain(id)` polls a child to
// its end. `out` is printed as one JSON line, with the launches tried again
// (`retried`) and the creations the addon tried again (`creationRetries`).
function script(body) {
  return `import { createRequire } from 'node:module';
import { traceCreations } from ${JSON.stringify(creationRetriesUrl)};
const require = createRequire(import.meta.url);
const addon = require(${JSON.stringify(addonPath.testbed)});
const creations = traceCreations();
const out = { retried: 0 };
const broker = process.argv[2];
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));
// Resolves true once the process of \`pid\` has ended (false if it still runs
// after 20 s): a signal to order by, where a fixed pause would be a guess.
async function gone(pid) {
  for (let i = 0; i < 4000; i++) {
    try { process.kill(pid, 0); } catch { return true; }
    await sleep(5);
  }
  return false;
}
const reason = async (fn) => { try { await fn(); return 'succeeded'; } catch (e) { return e.message; } };
// A warm work lasts one second; process creation on a loaded Wine host can
// take longer, so a launch that ran out of its work's time is tried again.
async function spawn(args, env = {}, program = broker) {
  out.at = args.slice(0, 3).join(' ');
  for (let attempt = 1; ; attempt++) {
    const work = await addon.beginWork();
    try {
      return await addon.spawnAsync(work, program, args, env);
    } catch (e) {
      if (e.message !== 'profile_startup_timeout' || attempt === 3) throw e;
      out.retried++;
    } finally {
      await addon.endWork(work).catch(() => {});
    }
  }
}
async function drain(id) {
  let stdout = '', stderr = '', polls = 0;
  for (;;) {
    const p = addon.poll(id);
    if (p.stdout) stdout += p.stdout.toString('utf8');
    if (p.stderr) stderr += p.stderr.toString('utf8');
    if (p.stdout === false && p.stderr === false && 'exit_code' in p) {
      return { stdout, stderr, exit: p.exit_code, keys: Object.keys(p) };
    }
    if (++polls > 4000) return { stdout, stderr, timedOut: true };
    await sleep(5);
  }
}
async function runChild(args, env) {
  const child = await spawn(args, env);
  const result = await drain(child.id);
  await addon.dispose(child.id);
  return result;
}
try {
  addon.initialize();
  addon.finishStartup();
${body}
} catch (e) { out.failure = e.message + ' at ' + out.at; }
out.creationRetries = creations.retries();
console.log(JSON.stringify(out));
`;
}

// Fails when the script's launches, its runtime's start and the addon's
// process creations were tried again more than MAX_RETRIES times in all.
async function start(home, body, env = {}) {
  const startsBefore = startRetries();
  const launch = await launchRuntime({ home, role: 'job', source: script(body), args: [home.brokerImage], env });
  const line = launch.stdout.trim().split(/\r?\n/).pop();
  assert.ok(line, `no output; ${launch.launcherOutput} ${launch.reason} ${launch.stderr}`);
  const seen = JSON.parse(line);
  assert.equal(seen.failure, undefined, launch.stderr);
  const retries = { launch: seen.retried, native: seen.creationRetries, start: startRetries() - startsBefore };
  assert.ok(retries.launch + retries.native + retries.start <= MAX_RETRIES, JSON.stringify(retries));
  return seen;
}

describe('spawnAsync', () => {
  let home;
  let seen;
  before(async () => {
    home = await installHome();
    seen = await start(home, `
  out.otherCase = await runChild(['child', 'exit', '3']).then(() => 'launched');
  const upper = await spawn(['child', 'exit', '0'], {}, broker.toUpperCase());
  out.upperCase = (await drain(upper.id)).exit; await addon.dispose(upper.id);
  out.elsewhere = await reason(() => spawn(['child', 'exit', '0'], {}, ${JSON.stringify(brokerBuild.testbed)}));
  out.args = await runChild(['child', 'args', 'with space', 'C:\\\\trailing\\\\', 'say "hi"', '\\\\"']);
  out.emptyArgument = await reason(() => spawn(['child', 'args', '']));
  out.sixtyFour = await runChild(['child', 'args', ...Array.from({ length: 62 }, (_, i) => String(i))]);
  out.sixtyFive = await reason(() => spawn(['child', 'args', ...Array.from({ length: 63 }, (_, i) => String(i))]));
  const vars = (n) => Object.fromEntries(Array.from({ length: n }, (_, i) => ['V' + i, String(i)]));
  out.thirtyTwo = (await runChild(['child', 'env'], vars(32))).exit;
  out.thirtyThree = await reason(() => spawn(['child', 'env'], vars(33)));
  out.equalsInName = await reason(() => spawn(['child', 'env'], { 'A=B': '1' }));
  out.env = await runChild(['child', 'env'], { NUVRA_HOME: 'C:\\\\caller', Mixed: '1', MIXED: '2' });
  process.env.NUVRA_STARTUP_ATTEMPT = '0123456789abcdef0123456789abcdef';
  out.validAttempt = await runChild(['child', 'env']);
  process.env.NUVRA_STARTUP_ATTEMPT = '0123456789ABCDEF0123456789ABCDEF';
  out.upperAttempt = await runChild(['child', 'env']);
  process.env.NUVRA_STARTUP_ATTEMPT = '0123456789abcdef0123456789abcde';
  out.shortAttempt = await runChild(['child', 'env']);
  process.env.NUVRA_STARTUP_ATTEMPT = creations.attempt;
  out.handles = await runChild(['child', 'handles', 's', 'l', 'r', 'parent', 'handle']);
  out.ids = [];
  await Promise.all([spawn(['child', 'exit', '0']), spawn(['child', 'exit', '0'])]
    .map((p) => p.then((c) => out.ids.push(c.id))));
  for (const id of out.ids) await addon.dispose(id);
`);
  });
  after(() => removeHome(home));

  it('launches the broker named in other letter case', () => {
    assert.equal(seen.otherCase, 'launched');
    assert.equal(seen.upperCase, 0);
  });

  it('refuses the right file name in another directory', () => {
    assert.equal(seen.elsewhere, 'profile_native_target');
  });

  it('passes arguments with spaces, a trailing backslash and quotes intact', () => {
    assert.deepEqual(JSON.parse(seen.args.stdout), ['with space', 'C:\\trailing\\', 'say "hi"', '\\"']);
    assert.equal(seen.emptyArgument, 'profile_string');
  });

  it('accepts 64 arguments and 32 variables and refuses one more of each', () => {
    assert.equal(JSON.parse(seen.sixtyFour.stdout).length, 62);
    assert.equal(seen.sixtyFive, 'profile_arguments');
    assert.equal(seen.thirtyTwo, 0);
    assert.equal(seen.thirtyThree, 'profile_environment');
    assert.equal(seen.equalsInName, 'profile_environment');
  });

  it('overwrites the caller\'s NUVRA_HOME and keeps names differing in case apart', () => {
    const env = JSON.parse(seen.env.stdout);
    assert.ok(env.includes(`NUVRA_HOME=${home.home}`), env.join('\n'));
    assert.ok(!env.includes('NUVRA_HOME=C:\\caller'));
    assert.ok(env.includes('Mixed=1') && env.includes('MIXED=2'));
    assert.ok(env.includes(`NUVRA_WINDOWS_OWNER_SID_HASH=${home.ownerSidHash}`));
  });

  it('passes NUVRA_STARTUP_ATTEMPT on only in its exact form', () => {
    const has = (r) => JSON.parse(r.stdout).some((e) => e.startsWith('NUVRA_STARTUP_ATTEMPT='));
    assert.ok(JSON.parse(seen.validAttempt.stdout).includes('NUVRA_STARTUP_ATTEMPT=0123456789abcdef0123456789abcdef'));
    assert.equal(has(seen.upperAttempt), false);
    assert.equal(has(seen.shortAttempt), false);
  });

  it('hands the child every handle its work record names, open', () => {
    const handles = JSON.parse(seen.handles.stdout);
    assert.ok(handles.length >= 5, seen.handles.stdout);
    for (const h of handles) assert.equal(h.open, true, JSON.stringify(h));
  });

  it('numbers children n and n+1 in completion order', () => {
    assert.equal(seen.ids[1], seen.ids[0] + 1);
  });
});

describe('a managed child\'s streams', () => {
  let home;
  let seen;
  before(async () => {
    home = await installHome();
    seen = await start(home, `
  const echo = await spawn(['child', 'echo']);
  out.emptyWrite = addon.write(echo.id, Buffer.alloc(0));
  out.write = addon.write(echo.id, Buffer.from('hello'));
  out.end = [addon.end(echo.id), addon.end(echo.id)];
  out.echo = await drain(echo.id);
  out.closedAgain = addon.poll(echo.id);
  await addon.dispose(echo.id);
  out.disposeTwice = await reason(() => addon.dispose(echo.id));
  const stuck = await spawn(['child', 'sleep', '600000']);
  out.large = addon.write(stuck.id, Buffer.alloc(8388608, 1));
  out.second = await reason(() => addon.write(stuck.id, Buffer.from('x')));
  out.endPending = await reason(() => addon.end(stuck.id));
  out.tooLarge = await reason(() => addon.write(stuck.id, Buffer.alloc(8388609)));
  const running = addon.poll(stuck.id);
  out.running = { keys: Object.keys(running), writeComplete: running.write_complete };
  out.kill = addon.kill(stuck.id);
  out.writeAfterKill = [];
  for (let i = 0; i < 2000 && out.killed === undefined; i++) {
    try { out.killed = addon.poll(stuck.id).exit_code; } catch (e) { out.writeAfterKill.push(e.message); }
    await sleep(5);
  }
  out.disposeKilled = await addon.dispose(stuck.id);
  // A child that refuses its input: it writes to stderr and exits with the
  // write still in flight, before anything is polled.
  const refuser = await spawn(['child', 'stderr', 'input refused']);
  out.refuserWrite = addon.write(refuser.id, Buffer.alloc(8388608, 1));
  out.refuserGone = await gone(refuser.pid);
  out.refused = { stderr: '', failures: [] };
  for (let i = 0; i < 2000 && out.refused.exit === undefined; i++) {
    try {
      const p = addon.poll(refuser.id);
      if (p.stderr) out.refused.stderr += p.stderr;
      if (p.exit_code !== undefined && p.stdout === false && p.stderr === false) out.refused.exit = p.exit_code;
    } catch (e) { out.refused.failures.push(e.message); }
    await sleep(5);
  }
  await addon.dispose(refuser.id);
  const parent = await spawn(['child', 'grandchild']);
  let line = '';
  for (let i = 0; i < 2000 && !line.includes('\\n'); i++) { const p = addon.poll(parent.id); if (p.stdout) line += p.stdout; await sleep(5); }
  out.grandchild = JSON.parse(line).grandchild;
  out.aliveBefore = (() => { try { process.kill(out.grandchild, 0); return true; } catch { return false; } })();
  await addon.dispose(parent.id);
  out.aliveAfter = !(await gone(out.grandchild));
  // Killed, a child whose own child holds a copy of its output.
  const sharer = await spawn(['child', 'grandchild', 'inherit']);
  let said = '';
  for (let i = 0; i < 2000 && !said.includes('\\n'); i++) { const p = addon.poll(sharer.id); if (p.stdout) said += p.stdout; await sleep(5); }
  out.sharer = { kill: addon.kill(sharer.id) };
  for (let i = 0; i < 2000 && out.sharer.exit === undefined; i++) {
    const p = addon.poll(sharer.id);
    if (p.exit_code !== undefined && p.stdout === false && p.stderr === false) out.sharer.exit = p.exit_code;
    await sleep(5);
  }
  out.sharer.grandchildGone = await gone(JSON.parse(said).grandchild);
  await addon.dispose(sharer.id);
`);
  });
  after(() => removeHome(home));

  it('writes an empty Buffer at once and echoes what it is given', () => {
    assert.equal(seen.emptyWrite, true);
    assert.equal(seen.echo.stdout, 'hello');
    assert.deepEqual(seen.end, [true, true]);
    assert.equal(seen.echo.exit, 0);
  });

  it('reports a closed stream as false on every later poll', () => {
    assert.equal(seen.closedAgain.stdout, false);
    assert.equal(seen.closedAgain.stderr, false);
    assert.deepEqual(Object.keys(seen.closedAgain), ['stdout', 'stderr', 'write_complete', 'exit_code']);
  });

  it('leaves a large write pending and refuses a second write and end meanwhile', () => {
    assert.equal(seen.large, false);
    assert.equal(seen.second, 'stdin_not_writable');
    assert.equal(seen.endPending, 'stdin_pending');
    assert.equal(seen.tooLarge, 'stdin_not_writable');
  });

  it('has no exit_code while running and 1 after kill', () => {
    assert.deepEqual(seen.running.keys, ['stdout', 'stderr', 'write_complete']);
    assert.equal(seen.running.writeComplete, false);
    assert.equal(seen.kill, true);
    // The write in flight dies with the child: at most one poll reports
    // that, and later polls read the exit code.
    assert.ok(seen.writeAfterKill.length <= 1, JSON.stringify(seen.writeAfterKill));
    for (const failure of seen.writeAfterKill) assert.equal(failure, 'stdin_write_failed');
    assert.equal(seen.killed, 1);
    assert.equal(seen.disposeKilled, true);
  });

  it('keeps what a child wrote before it exited with a write in flight', () => {
    assert.equal(seen.refuserWrite, false);
    assert.equal(seen.refuserGone, true);
    assert.ok(seen.refused.failures.length <= 1, JSON.stringify(seen.refused.failures));
    for (const failure of seen.refused.failures) assert.equal(failure, 'stdin_write_failed');
    assert.equal(seen.refused.stderr, 'input refused');
    assert.equal(seen.refused.exit, 0);
  });

  it('refuses a second dispose of the same id', () => {
    assert.equal(seen.disposeTwice, 'child_not_owned');
  });

  it('ends a grandchild with its job when the child is disposed', () => {
    assert.equal(seen.aliveBefore, true);
    assert.equal(seen.aliveAfter, false);
  });

  it('kills the processes the child started with it, so its output reports closed', () => {
    assert.deepEqual(seen.sharer, { kill: true, exit: 1, grandchildGone: true });
  });
});

describe('two managed children at once', () => {
  let home;
  let seen;
  before(async () => {
    home = await installHome();
    seen = await start(home, `
  // Two children at once: ending one's input ends only that one.
  const first = await spawn(['child', 'echo']);
  const second = await spawn(['child', 'echo']);
  addon.write(first.id, Buffer.from('one'));
  addon.write(second.id, Buffer.from('two'));
  addon.end(first.id);
  out.first = await drain(first.id);
  const secondRunning = addon.poll(second.id);
  out.secondRunning = 'exit_code' in secondRunning;
  let secondOut = secondRunning.stdout ? secondRunning.stdout.toString('utf8') : '';
  addon.write(second.id, Buffer.from('+more'));
  addon.end(second.id);
  out.second = await drain(second.id);
  out.second.stdout = secondOut + out.second.stdout;
  await addon.dispose(first.id);
  await addon.dispose(second.id);

  out.embeddedNul = await reason(() => spawn(['child', 'args', 'a\\u0000b']));
`);
  });
  after(() => removeHome(home));

  it('ends only the child whose input ended', () => {
    assert.deepEqual([seen.first.stdout, seen.first.exit], ['one', 0]);
    assert.equal(seen.secondRunning, false);
    assert.deepEqual([seen.second.stdout, seen.second.exit], ['two+more', 0]);
  });

  it('refuses an argument with an embedded NUL', () => {
    assert.equal(seen.embeddedNul, 'profile_nul');
  });
});

// Node starts its own children with inheritance on and no handle list. Ones
// started while a managed child is being launched must not take that child's
// handles: its streams report closed once it exits, while they still run.
// That a node child started during a launch is shown by signals: the home's
// mutex is held from outside before the launch is asked for, and a launch
// takes that mutex before anything else, so one started before the holder
// lets go is started while that launch is under way; more are started until
// the launch has settled.
describe('node children started while managed children launch', () => {
  let home;
  let seen;
  before(async () => {
    home = await installHome();
    seen = await start(home, `
  const { spawn: nodeSpawn } = await import('node:child_process');
  const sleepers = [];
  const sleeper = () => sleepers.push(nodeSpawn(broker, ['child', 'sleep', '120000'], { stdio: 'ignore', windowsHide: true }));
  // The broker's hold-serialization role, started ahead (a warm work lasts
  // one second); take() resolves once it owns the mutex.
  const startHolder = async () => {
    const holder = nodeSpawn(broker, ['hold-serialization', ${JSON.stringify(home.home)}, 'input'],
      { stdio: ['pipe', 'pipe', 'ignore'], windowsHide: true });
    let text = '';
    const said = (word) => new Promise((resolve, reject) => {
      const look = () => { if (text.includes(word)) resolve(); };
      holder.stdout.on('data', look);
      holder.on('close', () => reject(new Error('holder ended before ' + word)));
      look();
    });
    holder.stdout.setEncoding('utf8').on('data', (d) => { text += d; });
    await said('waiting');
    return { take: () => { holder.stdin.write('take\\n'); return said('held'); }, release: () => holder.stdin.end() };
  };
  out.pinned = [];
  out.orders = [];
  try {
    for (let i = 0; i < 4; i++) {
      const order = [];
      let child;
      for (let attempt = 1; !child; attempt++) {
        const holder = await startHolder();
        // A cold budget (no broker is published here): the hold and the
        // launch behind it must both fit into the work's time.
        const budget = addon.prepareBrokerBudget('status');
        const work = await addon.beginWork(() => 3000, '-', 'client', 'status', budget.token);
        await holder.take();
        order.push('held');
        let launching = true;
        const launched = addon.spawnAsync(work, broker, ['child', 'exit', '0'], {})
          .finally(() => { launching = false; order.push('settled'); });
        // Awaited below; meanwhile a rejection is not unhandled.
        launched.catch(() => {});
        order.push('asked');
        sleeper();
        order.push('started');
        holder.release();
        order.push('let go');
        while (launching) {
          sleeper();
          await new Promise((resolve) => setImmediate(resolve));
        }
        try {
          child = await launched;
        } catch (e) {
          // A loaded machine may take longer than the work's time, at the
          // mutex (profile_owner_wait) or after it.
          if (!['profile_startup_timeout', 'profile_owner_wait'].includes(e.message) || attempt === 3) throw e;
          out.retried++;
          order.length = 0;
        } finally {
          await addon.endWork(work).catch(() => {});
        }
      }
      out.orders.push(order);
      const result = await drain(child.id);
      await addon.dispose(child.id);
      out.pinned.push(result.timedOut === true);
    }
  } finally {
    for (const s of sleepers) s.kill();
  }
`);
  });
  after(() => removeHome(home));

  it('starts a node child during every launch, before the launch can take the mutex', () => {
    const expected = ['held', 'asked', 'started', 'let go', 'settled'];
    assert.deepEqual(seen.orders, [expected, expected, expected, expected], JSON.stringify(seen));
  });

  it('lets every managed child\'s streams close after it exits', () => {
    assert.deepEqual(seen.pinned, [false, false, false, false]);
  });
});
