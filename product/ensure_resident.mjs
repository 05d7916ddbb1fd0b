// Starting a home's resident when none serves it, for any caller of the
// product (an entry runtime, the demo, a supervisor):
//
//   const started = await ensureResident({ home, addonPath, installer });
//   ... requests ...
//   await started.resident?.end();     // or leave it serving
//
// 1. If a live broker is published (`isWarm`), nothing is started.
// 2. Otherwise the home's own launcher (its broker executable, role
//    "launch") starts product/resident.mjs with role "resident", and the
//    caller waits for its line {"resident":"published"} within `boundMs`.
// 3. A start that fails is explained from outside, and at most once each:
//    - the servicing record says "RECOVERY_REQUIRED" (a process died inside
//      the home's serialisation mutex): the servicing side's repair
//      (`installer --repair --home H`) runs, then one more start;
//    - the reservation is held by another resident of this home (its
//      initialize refused): that one's publication is waited for instead;
//    - anything else: the step and reason the resident printed.
// Every failure is a reason code (Error message), never a hang: the
// launcher, the repair and every wait end within `boundMs` of their start.
//
// The resident reads its standard input from a named pipe this process
// serves: `end()` tells it to end (and resolves with the launcher's result
// once it has), and if this process dies the pipe closes and the resident
// ends too, so a resident never outlives whoever started it unnoticed.
import { spawn } from 'node:child_process';
import fs from 'node:fs';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';
import { randomBytes } from 'node:crypto';
import { fileURLToPath } from 'node:url';

export const RESIDENT_SCRIPT = fileURLToPath(new URL('./resident.mjs', import.meta.url));
export const DEFAULT_BOUND_MS = 60000;
const POLL_MS = 20;
// Starts that ran out of the startup ceiling on a busy machine, tried again
// before the start is given up (each ends within the ceiling).
const LATE_STARTS = 4;

const brokerImage = (root) => path.win32.join(root, 'connector', 'vevadu-code', 'client',
  'nuvra_windows_broker_native.exe');
const servicingFile = (home) => path.win32.join(home, 'state', 'runtime', 'servicing.json');
export const endpointFile = (home) => path.win32.join(home, 'state', 'broker', 'endpoint.json');

const failure = (reason, detail = {}) => Object.assign(new Error(reason), { detail });
const pause = (ms) => new Promise((resolve) => { setTimeout(resolve, ms); });

// The committed selection: the record itself, or, while it says
// "RECOVERY_REQUIRED", the committed record it keeps (possibly wrapped by
// more than one recovery).
export function readSelection(home) {
  let record = JSON.parse(fs.readFileSync(servicingFile(home), 'utf8'));
  const recovery = record.state === 'RECOVERY_REQUIRED';
  while (record.state === 'RECOVERY_REQUIRED') record = JSON.parse(record.previous_record_text);
  if (record.state !== 'COMMITTED') throw failure('profile_selection');
  return { recovery, version: record.version, generation: record.generation, digest: record.digest,
    root: path.win32.join(home, 'runtime', record.version) };
}

// Whether a published record names processes that still run: the host that
// serves it and the runtime that published it. A first look from outside,
// by process id; a client's own exchange proves the peer fully.
export function publishedAlive(home) {
  let record;
  try {
    record = JSON.parse(fs.readFileSync(endpointFile(home), 'utf8'));
  } catch {
    return false;
  }
  return [record.pid, record.parent_pid].every((pid) => {
    if (!Number.isInteger(pid) || pid <= 0) return false;
    try {
      process.kill(pid, 0);
      return true;
    } catch {
      return false;
    }
  });
}

// Runs a program to its end within `boundMs` (killed after it: code null).
function runToEnd(file, args, boundMs) {
  return new Promise((resolve) => {
    let output = '';
    const child = spawn(file, args, { stdio: ['ignore', 'pipe', 'pipe'], windowsHide: true, timeout: boundMs });
    child.stdout.setEncoding('utf8').on('data', (d) => { output += d; });
    child.stderr.setEncoding('utf8').on('data', (d) => { output += d; });
    child.on('error', (error) => resolve({ code: null, output: error.message }));
    child.on('close', (code) => resolve({ code, output }));
  });
}

// The lines a resident printed so far, parsed (a line still being written
// is left for the next look).
function residentLines(file) {
  let text = '';
  try {
    text = fs.readFileSync(file, 'utf8');
  } catch {
    return [];
  }
  return text.split('\n').slice(0, -1).flatMap((line) => {
    try {
      return [JSON.parse(line)];
    } catch {
      return [];
    }
  });
}

// One resident start through the home's launcher. Resolves with
// { published, failed, resident } once the resident printed its
// publication or failure, or its launcher ended.
async function launchResident({ home, addonPath, script, scratch, env, boundMs }) {
  const selection = readSelection(home);
  const base = path.win32.join(scratch, `resident-${randomBytes(6).toString('hex')}`);
  const files = { stdout: `${base}.out`, stderr: `${base}.err`, result: `${base}.result.json` };
  const inputName = `\\\\.\\pipe\\nuvra-resident-input-${randomBytes(8).toString('hex')}`;
  let input = null;
  const server = net.createServer((socket) => {
    input = socket;
    socket.on('error', () => {});
  });
  await new Promise((resolve) => server.listen(inputName, resolve));
  const launcher = spawn(brokerImage(selection.root), ['launch', '--home', home, '--version', selection.version,
    '--generation', selection.generation, '--payload-digest', selection.digest, '--role', 'resident',
    '--stdin', inputName, '--stdout', files.stdout, '--stderr', files.stderr, '--result', files.result,
    '--wait-exit', '--', script, addonPath], { stdio: 'ignore', windowsHide: true, env: { ...process.env, ...env } });
  let spawnError = null;
  const exited = new Promise((resolve) => {
    launcher.on('error', (error) => {
      spawnError = error.code ?? 'error';
      resolve(null);
    });
    launcher.on('exit', (code) => resolve(code));
  }).then((code) => {
    server.close();
    let result = null;
    try {
      result = JSON.parse(fs.readFileSync(files.result, 'utf8'));
    } catch {
      result = null;
    }
    return { spawnError, exitCode: code, outcome: result?.outcome ?? null, reason: result?.reason ?? null,
      runtimeExitCode: result?.runtime_exit_code ?? null, runtimePid: result?.runtime_pid ?? null,
      lines: residentLines(files.stdout), stderr: fs.existsSync(files.stderr) ? fs.readFileSync(files.stderr, 'utf8') : '' };
  });
  let ended = null;
  exited.then((launch) => { ended = launch; });
  const resident = {
    files,
    exited,
    // Tells the resident to end; resolves with the launcher's result.
    end: async () => {
      if (input) input.end('end\n');
      else server.close();
      return exited;
    },
  };
  const until = Date.now() + boundMs;
  for (;;) {
    const lines = residentLines(files.stdout);
    const published = lines.find((line) => line.resident === 'published');
    if (published) {
      resident.pid = JSON.parse(published.record).parent_pid;
      resident.hostPid = JSON.parse(published.record).pid;
      resident.startupMs = published.startup_ms;
      return { published, resident };
    }
    const failed = lines.find((line) => line.resident === 'failed');
    if (failed || ended) {
      const launch = await exited;
      return { failed: failed ?? { step: 'launch', error: launch.reason ?? launch.outcome ?? 'runtime_startup_refused' }, launch };
    }
    if (Date.now() > until) {
      // A start that never came to an end: stopped, so that it is no hang.
      launcher.kill();
      server.close();
      return { failed: { step: 'launch', error: 'runtime_startup_timeout' }, launch: await exited };
    }
    await pause(POLL_MS);
  }
}

// Waits for another resident's publication: true once a live one is
// published, false when the bound passes.
async function publicationOf(home, isWarm, boundMs) {
  const until = Date.now() + boundMs;
  while (Date.now() <= until) {
    if (await isWarm()) return true;
    await pause(POLL_MS);
  }
  return false;
}

// The reservation of this user, session and home is held: initialize of a
// second resident refuses with this reason.
const reservationTaken = (failed) => failed.step === 'initialize'
  && failed.error === 'broker_publication_recovery_required';

// Options: home (required), addonPath (the addon the resident loads,
// required), installer (nuvra_install_home.exe, for the repair; without it a
// home in recovery is refused with "profile_recovery_required"), isWarm
// (async () => boolean; default publishedAlive), boundMs, scratch (folder
// for the launcher's files), env (extra environment), script (the resident
// runtime script). Resolves with { resident (null when one was already
// serving), steps: [what was done, in order] }.
export async function ensureResident(options) {
  const { home, addonPath, installer } = options;
  if (typeof home !== 'string' || typeof addonPath !== 'string') throw failure('arguments_invalid');
  const isWarm = options.isWarm ?? (async () => publishedAlive(home));
  const boundMs = options.boundMs ?? DEFAULT_BOUND_MS;
  const scratch = options.scratch ?? os.tmpdir();
  const script = options.script ?? RESIDENT_SCRIPT;
  const steps = [];
  let repaired = false;
  let waited = false;
  let unstarted = 0;
  let late = 0;
  for (;;) {
    if (await isWarm()) {
      steps.push('published');
      return { resident: null, steps };
    }
    steps.push('launch');
    const started = await launchResident({ home, addonPath, script, scratch, env: options.env, boundMs });
    if (started.published) {
      steps.push('published');
      return { resident: started.resident, steps };
    }
    const { failed, launch } = started;
    // Under load Wine now and then fails a CreateProcess before the program
    // runs at all; such a start (and only such) is tried again.
    if (launch?.spawnError === 'UNKNOWN' && unstarted < 3) {
      unstarted += 1;
      steps.push('launcher did not start');
      continue;
    }
    // A runtime that could not acknowledge its startup in time, or publish
    // within the broker startup ceiling (74), on a loaded machine, was ended
    // and released its reservation; whatever it left is the next start's to
    // recover: tried again, a bounded number of times.
    if ((launch?.outcome === 'timeout' || launch?.runtimeExitCode === 74) && late < LATE_STARTS) {
      late += 1;
      steps.push('startup not acknowledged in time');
      continue;
    }
    steps.push(`failed ${failed.step} ${failed.error}`);
    let selection;
    try {
      selection = readSelection(home);
    } catch {
      throw failure('profile_selection', { failed, launch, steps });
    }
    if (selection.recovery) {
      if (repaired || !installer) throw failure('profile_recovery_required', { failed, launch, steps });
      repaired = true;
      const repair = await runToEnd(installer, ['--repair', '--home', home], boundMs);
      steps.push(`repair exit ${repair.code}`);
      if (repair.code !== 0) throw failure('profile_recovery_required', { failed, launch, steps, repair });
      continue;
    }
    if (reservationTaken(failed) && !waited) {
      waited = true;
      steps.push('reservation held by another resident: waiting for its publication');
      if (await publicationOf(home, isWarm, boundMs)) {
        steps.push('published');
        return { resident: null, steps };
      }
      continue;
    }
    throw failure(failed.error === 'runtime_startup_timeout' ? failed.error : 'broker_unavailable',
      { failed, launch, steps });
  }
}
