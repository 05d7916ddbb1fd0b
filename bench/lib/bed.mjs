// The bench's view of the test bed: a product home, runtimes started through
// its launcher, and plain processes to compare with.
import { spawn } from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { randomBytes } from 'node:crypto';
import { addonPath } from '../../tests/js/lib/addon.mjs';
import { installHome, launchRuntime, probePath } from '../../tests/js/lib/home.mjs';

export const runtimeScript = (name) => fileURLToPath(new URL(`../runtime/${name}.mjs`, import.meta.url));

export const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

// True while a process of that id runs.
export function alive(pid) {
  try {
    process.kill(pid, 0);
    return true;
  } catch {
    return false;
  }
}

export async function waitForExit(pid, limitMs = 60000) {
  const until = performance.now() + limitMs;
  while (alive(pid)) {
    if (performance.now() > until) throw new Error(`process ${pid} did not exit`);
    await sleep(10);
  }
}

// Spawns a program and resolves with the milliseconds until it exited.
export function timedRun(file, args, options = {}) {
  return new Promise((resolve, reject) => {
    const t0 = performance.now();
    const child = spawn(file, args, { stdio: 'ignore', windowsHide: true, ...options });
    child.on('error', reject);
    child.on('exit', (code) => resolve({ ms: performance.now() - t0, code }));
  });
}

export class Bed {
  static async create(flavour = 'testbed') {
    const bed = new Bed();
    bed.flavour = flavour;
    bed.home = await installHome({ flavour });
    bed.addon = addonPath[flavour];
    bed.probe = probePath(flavour);
    return bed;
  }

  scratchFile(stem) {
    return path.win32.join(this.home.scratch, `${stem}-${randomBytes(6).toString('hex')}`);
  }

  // Runs runtime/<name>.mjs in a runtime started through the home's launcher
  // and resolves with its report (the runtime writes it to a file).
  async runtime(name, settings = {}, launchOptions = {}) {
    const out = this.scratchFile(`${name}-report`) + '.json';
    const launch = await launchRuntime({
      home: this.home, script: runtimeScript(name), deadlineMs: 3000, timeoutMs: 900000, ...launchOptions,
      env: {
        ...launchOptions.env,
        NUVRA_BENCH: JSON.stringify({ addon: this.addon, probe: this.probe, home: this.home.home,
          broker: this.home.brokerImage, out, ...settings }),
      },
    });
    if (launch.outcome !== 'acknowledged') {
      throw new Error(`runtime ${name} was not acknowledged: ${launch.outcome} ${launch.reason ?? ''} ${launch.stderr}`);
    }
    if (launchOptions.waitExit === false) await waitForExit(launch.runtimePid);
    const text = fs.existsSync(out) ? fs.readFileSync(out, 'utf8') : '';
    if (!text) throw new Error(`runtime ${name} wrote no report: ${launch.stderr}`);
    const value = JSON.parse(text);
    if (value.error) throw new Error(`runtime ${name} failed: ${value.error}`);
    return { ...value, launch };
  }
}
