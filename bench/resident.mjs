// Resident startup: the product's resident runtime (product/resident.mjs)
// started through the home's launcher, from its first native call to the
// publication of its endpoint (as it reports it), against the broker startup
// ceiling and against its floor measured in the same run: two plain starts
// of the broker executable, one after the other, spawn to exit (a resident
// must start a host and an account worker, each such an executable).
import fs from 'node:fs';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { launchRuntime } from '../tests/js/lib/home.mjs';
import { timedRun } from './lib/bed.mjs';

const residentScript = fileURLToPath(new URL('../product/resident.mjs', import.meta.url));
const ceilingMs = 3000;

// One resident start; with no standard input it ends as soon as it has
// published. Its endpoint file is removed afterwards, as recovery would, so
// that the next start may publish again.
async function residentOnce(bed) {
  const t0 = performance.now();
  const launch = await launchRuntime({ home: bed.home, role: 'resident', script: residentScript,
    args: [bed.addon] });
  const wallMs = performance.now() - t0;
  const said = launch.stdout.trim().split(/\r?\n/).filter(Boolean).map((line) => JSON.parse(line));
  const published = said.find((line) => line.resident === 'published');
  fs.rmSync(path.win32.join(bed.home.home, 'state', 'broker', 'endpoint.json'), { force: true });
  if (!published || launch.runtimeExitCode !== 0) {
    throw new Error(`resident did not publish: exit ${launch.runtimeExitCode} ${launch.stdout} ${launch.stderr}`);
  }
  return { startupMs: published.startup_ms, wallMs };
}

async function twoBrokerStarts(bed) {
  const first = await timedRun(bed.home.brokerImage, ['child', 'exit', '0']);
  const second = await timedRun(bed.home.brokerImage, ['child', 'exit', '0']);
  return first.ms + second.ms;
}

export default async function resident(bed, { repeat }) {
  const rows = {
    floor: { name: 'floor: two plain broker starts, spawn to exit', unit: 'ms', samples: [] },
    startup: { name: 'first native call to publication', unit: 'ms', samples: [] },
    ceiling: { name: 'broker startup ceiling', unit: 'ms', samples: [ceilingMs] },
    share: { name: 'first native call to publication, of the ceiling', unit: 'ms', samples: [] },
    wall: { name: 'launcher start to resident exit', unit: 'ms', samples: [] },
  };
  rows.startup.peer = rows.floor;
  rows.share.peer = rows.ceiling;
  // Warm the file cache and the server, then alternate the two.
  await twoBrokerStarts(bed);
  await residentOnce(bed);
  for (let i = 0; i < repeat; ++i) {
    rows.floor.samples.push(await twoBrokerStarts(bed));
    const s = await residentOnce(bed);
    rows.startup.samples.push(s.startupMs);
    rows.share.samples.push(s.startupMs);
    rows.wall.samples.push(s.wallMs);
  }
  return Object.values(rows);
}
