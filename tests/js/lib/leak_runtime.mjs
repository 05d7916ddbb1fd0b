// The runtime side of the leak suite: started through a home's launcher, it
// takes its startup custody, then runs each cycle of addon calls many times
// and samples its own handle count (through the native probe, which reads it
// with OpenProcess and GetProcessHandleCount) and its working set after a
// full collection, once after a warm-up and once after the repetitions.
// Prints one JSON line: { cycles: { name: { iterations, launches, before, after } },
// retries: { native, launch } }: the creations the addon tried again and the
// launches this script tried again.
import { createRequire } from 'node:module';
import { spawn } from 'node:child_process';
import { setFlagsFromString } from 'node:v8';
import { runInNewContext } from 'node:vm';
import { traceCreations } from './creation_retries.mjs';
import { probeProcess } from './probe.mjs';

const config = JSON.parse(process.env.NUVRA_LEAK);
const require = createRequire(import.meta.url);
const addon = require(config.addon);
const creations = traceCreations();
addon.initialize();
addon.finishStartup();

setFlagsFromString('--expose-gc');
const gc = runInNewContext('gc');
const yieldTurn = () => new Promise((resolve) => setImmediate(resolve));

function sample() {
  gc();
  const probe = probeProcess(config.probe, process.pid) ?? {};
  return { handles: probe.handles ?? null, workingSet: probe.working_set ?? null, rss: process.memoryUsage().rss };
}

// A child run until it has exited and both its streams are closed. The limit
// only bounds a hang: a loaded Wine host has taken over 20 s to get there.
async function finish(id, drained = 0, limitMs = 60000) {
  const until = performance.now() + limitMs;
  let out = drained;
  for (;;) {
    const p = addon.poll(id);
    if (p.stdout) out += p.stdout.length;
    if (p.exit_code !== undefined && p.stdout === false && p.stderr === false) break;
    if (performance.now() > until) {
      throw new Error(`child_did_not_finish: ${JSON.stringify({ ...p, stdout: p.stdout && p.stdout.length, stderr: p.stderr && p.stderr.length })}`);
    }
    await yieldTurn();
  }
  await addon.dispose(id);
  return out;
}

// A launch under a work of its own; a warm work lasts one second and process
// creation on a loaded Wine host can take longer, so a launch that ran out of
// its work's time is tried again. Under Wine, process creation itself now and
// then fails ("profile_child_create") when many processes start at once;
// such a launch is tried again as well. Every retry is counted, and the suite
// bounds them with the addon's own retries of process creation.
let createRetries = 0;
async function spawnChild(args, env = {}) {
  for (let attempt = 1; ; ++attempt) {
    const work = await addon.beginWork();
    try {
      return await addon.spawnAsync(work, config.broker, args, env);
    } catch (error) {
      const transient = ['profile_startup_timeout', 'profile_child_create'].includes(error?.message);
      if (!transient || attempt === 3) throw error;
      ++createRetries;
    } finally {
      await addon.endWork(work).catch(() => {});
    }
  }
}

const refuse = (fn) => {
  try {
    fn();
  } catch (error) {
    return error.message;
  }
  throw new Error('a refused call succeeded');
};

// The child cycles keep this many children in flight in each round, so a
// few hundred launches fit in the suite's time.
const childrenPerRound = 4;
const inFlight = async (launch) => {
  const results = await Promise.allSettled(Array.from({ length: childrenPerRound }, launch));
  const failed = results.find((r) => r.status === 'rejected');
  if (failed) throw failed.reason;
};

const line = '{"leak":"check","pad":"' + 'x'.repeat(200) + '"}\n';
const payload = Buffer.alloc(4096, 0x61);

// The testbed broker's exchange peers, one per fault, started on first use;
// each resolves with the facts a descriptor is built from.
const peers = {};
const peerOf = (fault) => {
  peers[fault] ??= new Promise((resolve, reject) => {
    const child = spawn(config.broker, ['exchange-peer', fault], { stdio: ['pipe', 'pipe', 'ignore'], windowsHide: true });
    let text = '';
    child.stdout.setEncoding('utf8').on('data', (d) => {
      text += d;
      const end = text.indexOf('\n');
      if (end >= 0) resolve({ ...JSON.parse(text.slice(0, end)), pid: child.pid, child });
    });
    child.on('error', reject);
  });
  return peers[fault];
};
const descriptorOf = (p) => ['NUVRA_NATIVE_ENDPOINT_V1', p.pipe_name, p.pid, p.creation, p.image, p.owner,
  p.authentication, p.session, p.digest, p.instance, 1000, 'END'].join('\t');
const requestId = '0123abcd-0123-4567-89ab-0123456789ab';
// One exchange on its own work: `expected` is the reason it must fail with,
// or null when it must resolve.
const exchangeRound = (fault, version2, expected) => async () => {
  const peer = await peerOf(fault);
  const work = await addon.beginWork(() => 1000, '-', 'client', 'recall');
  const call = version2 ? addon.exchangePhase : addon.exchange;
  let reason = null;
  try {
    await call(work, config.broker, descriptorOf(peer), payload, 'recall', requestId);
  } catch (error) {
    reason = error.message;
  }
  await addon.endWork(work);
  if (reason !== expected) throw new Error(`exchange ${fault}: ${reason}`);
};

// A whole client operation: its event and terminal operation, a version 2
// exchange on a work of its own, dispatch closed, the work ended, the
// terminal record committed and the operation closed.
const clientOperation = async () => {
  const peer = await peerOf('honest');
  const event = addon.newDiagnosticEvent('worker');
  const op = addon.newTerminalOperation('worker', event);
  const work = await addon.beginWork(() => 1000, event, 'client', 'recall');
  await addon.prepareTerminal(op, work, '-', '-', 'exchange_prepare');
  await addon.exchangePhase(work, config.broker, descriptorOf(peer), payload, 'recall', requestId);
  addon.closeClientDispatch(work);
  await addon.endWork(work);
  await addon.commitTerminal(op, true, 'saved', 'none', 'terminal');
  if (addon.closeTerminalOperation(op) !== true) throw new Error('operation_not_closed');
  addon.closeDiagnosticEvent(event);
};

// Each cycle does one round of calls and throws if any did not do its job.
const cycles = {
  clientOperation: { iterations: 150, run: clientOperation },
  exchange: { iterations: 150, run: exchangeRound('honest', false, null) },
  exchangePhase: { iterations: 150, run: exchangeRound('honest', true, null) },
  exchangeRefused: { iterations: 150, run: exchangeRound('close-mid-frame', true, 'broker_native_transport_failed') },
  timingCheckpoint: { iterations: 2000, run: async () => { addon.timingCheckpoint('worker_first_line'); } },
  refusedCalls: {
    iterations: 2000,
    run: async () => {
      refuse(() => addon.initialize(1));
      refuse(() => addon.endWork('not a work'));
      refuse(() => addon.poll(4000000000));
    },
  },
  works: { iterations: 150, run: async () => { await addon.endWork(await addon.beginWork()); } },
  diagnosticEvents: {
    iterations: 150,
    run: async () => {
      const token = addon.newDiagnosticEvent();
      await addon.appendIngressDiagnostic(token, 'framing', 'started', 'none');
      addon.closeDiagnosticEvent(token);
    },
  },
  appendDiagnostic: {
    iterations: 100,
    run: async () => {
      const work = await addon.beginWork();
      await addon.appendDiagnostic(work, line);
      await addon.endWork(work);
    },
  },
  childEcho: {
    iterations: 50,
    warmup: 4,
    children: childrenPerRound,
    run: () => inFlight(async () => {
      const { id } = await spawnChild(['child', 'echo'], { NUVRA_LEAK_CHECK: '1' });
      let drained = 0;
      let written = addon.write(id, payload);
      while (!written) {
        await yieldTurn();
        const p = addon.poll(id);
        if (p.stdout) drained += p.stdout.length;
        written = p.write_complete;
      }
      addon.end(id);
      if (await finish(id, drained) !== payload.length) throw new Error('echo_incomplete');
    }),
  },
  childKill: {
    iterations: 15,
    warmup: 2,
    children: childrenPerRound,
    run: () => inFlight(async () => {
      const { id } = await spawnChild(['child', 'sleep', '60000']);
      if (!addon.kill(id)) throw new Error('kill_failed');
      await finish(id);
    }),
  },
};

// The test command runs the cycles as they stand; a longer run (thousands of
// exchanges and operations) multiplies them by `scale`.
const scale = config.scale ?? 1;
const selected = config.cycles ?? Object.keys(cycles);
const result = {};
for (const name of selected) {
  const cycle = cycles[name];
  try {
    const t0 = performance.now();
    const iterations = cycle.iterations * scale;
    const warmup = cycle.warmup ?? Math.max(10, Math.floor(cycle.iterations / 5));
    for (let i = 0; i < warmup; ++i) await cycle.run();
    const before = sample();
    for (let i = 0; i < iterations; ++i) await cycle.run();
    const after = sample();
    result[name] = {
      createRetries,
      iterations,
      launches: iterations * (cycle.children ?? 0), before, after,
      seconds: (performance.now() - t0) / 1000,
    };
  } catch (error) {
    result[name] = { error: String(error?.stack ?? error) };
  }
}
console.log(JSON.stringify({ cycles: result, retries: { native: creations.retries(), launch: createRetries } }));
for (const peer of Object.values(peers)) (await peer).child.stdin.end();
