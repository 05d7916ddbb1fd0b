// Startup: the launcher's start of a runtime until its acknowledgement, and
// the native share of it, against a plain start of the same node.exe with an
// empty script.
import fs from 'node:fs';
import { randomBytes } from 'node:crypto';
import { launchRuntime } from '../tests/js/lib/home.mjs';
import { runtimeScript, timedRun, waitForExit } from './lib/bed.mjs';

const traceDirectory = 'C:\\Tevra\\ona\\temp\\st24data\\trace';
const deadlineMs = 3000;

function traceStages(attempt, pid) {
  const file = `${traceDirectory}\\${attempt}-${pid}-native.jsonl`;
  const stages = {};
  if (!fs.existsSync(file)) return stages;
  for (const line of fs.readFileSync(file, 'utf8').split('\n').filter(Boolean)) {
    const record = JSON.parse(line);
    stages[record.stage] ??= record.monotonic_ms;
  }
  fs.rmSync(file, { force: true });
  return stages;
}

// One traced start through the launcher, which exits once the runtime has
// acknowledged (the runtime is then left to finish on its own).
async function launchOnce(bed) {
  const attempt = randomBytes(16).toString('hex');
  const out = `${bed.scratchFile('startup-report')}.json`;
  const env = {
    NUVRA_STARTUP_ATTEMPT: attempt,
    NUVRA_BENCH: JSON.stringify({ addon: bed.addon, out }),
  };
  const t0 = performance.now();
  const launch = await launchRuntime({ home: bed.home, script: runtimeScript('startup'), deadlineMs,
    waitExit: false, env });
  const wallMs = performance.now() - t0;
  if (launch.outcome !== 'acknowledged') {
    throw new Error(`startup not acknowledged: ${launch.outcome} ${launch.reason ?? ''} ${launch.stderr}`);
  }
  await waitForExit(launch.runtimePid);
  const inside = JSON.parse(fs.readFileSync(out, 'utf8'));
  const stages = traceStages(attempt, launch.runtimePid);
  const created = Number(BigInt(launch.result.deadline_tick64)) - deadlineMs;
  return {
    wallMs,
    createdToAckTicks: stages.startup_ack_sent - created,
    nativeTicks: stages.startup_ack_sent - stages.native_profile_entry,
    nativeMs: inside.initializeMs + inside.finishMs,
    loadMs: inside.loadMs,
  };
}

export default async function startup(bed, { repeat }) {
  fs.mkdirSync(traceDirectory, { recursive: true });
  const empty = `${bed.scratchFile('empty')}.mjs`;
  fs.writeFileSync(empty, '');
  const rows = {
    plain: { name: 'plain node.exe, empty script: start to exit', unit: 'ms', samples: [] },
    launch: { name: 'launcher start to acknowledgement', unit: 'ms', samples: [] },
    created: { name: 'runtime created to acknowledgement (ticks)', unit: 'ms', samples: [] },
    nativeTicks: { name: 'native share: entry to ack sent (ticks)', unit: 'ms', samples: [] },
    native: { name: 'native share: initialize + finishStartup', unit: 'ms', samples: [] },
    load: { name: 'addon load (require)', unit: 'ms', samples: [] },
  };
  rows.launch.peer = rows.plain;
  // The native share is shown as a fraction of the whole launch.
  rows.native.peer = rows.launch;
  rows.nativeTicks.peer = rows.launch;
  // Warm the file cache and the server, then alternate the two so that both
  // see the same machine.
  await timedRun(bed.home.nodeImage, [empty]);
  await launchOnce(bed);
  for (let i = 0; i < repeat; ++i) {
    rows.plain.samples.push((await timedRun(bed.home.nodeImage, [empty])).ms);
    const s = await launchOnce(bed);
    rows.launch.samples.push(s.wallMs);
    rows.created.samples.push(s.createdToAckTicks);
    rows.nativeTicks.samples.push(s.nativeTicks);
    rows.native.samples.push(s.nativeMs);
    rows.load.samples.push(s.loadMs);
  }
  return Object.values(rows);
}
