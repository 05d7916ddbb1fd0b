// Product homes and runtime launches for the integration suites.
//
// installHome(options) lays out a fresh product home in a new temporary folder
// on C: with the installer (nuvra_install_home.exe, beside the broker build)
// and resolves to a description of it:
//   options:  flavour ('testbed' | 'release', which build's broker is
//             installed), version ('1.0.0'), generation ('1'), node (the
//             Windows path of the file installed as node.exe; default the
//             pinned node.exe), sessionId, deviceId, consumerId.
//   result:   { home, root, version, generation, payloadDigest, ownerSidHash,
//             homeKey, nodeSha256, nativeSha256, lifetimeIdentity,
//             workIdentity, nodeImage, brokerImage, scratch, flavour }
//             (home is the final path, the spelling every record uses;
//             scratch is the temporary folder holding home, for test files).
//
// launchRuntime(options) runs the launcher role of the home's own broker
// executable (so a resident runtime sees its expected parent image), waits
// for it and resolves to { exitCode, outcome, ackByte, runtimeExitCode,
// runtimePid, stdout, stderr, result, handoff, launcherOutput }:
//   home      the object installHome gave (required)
//   script    Windows path of the script the runtime runs, or
//   source    its text (written to a .mjs file in scratch)
//   args      further arguments for the runtime
//   role      'entry' | 'resident' | 'job';  purpose  ('none')
//   handoff   { key: value } edits of the default handoff: a value is
//             JSON-encoded (strings may hold placeholders such as '{work}'),
//             raw('...') is inserted as it stands, undefined removes the key
//   template  a complete handoff text with placeholders instead
//   guards    extra guard paths;  mappingSize, mappingWritable, lengthWord
//   deadlineMs  deadline offset (default 3000, job 30000; negative allowed)
//   handoffEnv  text of NUVRA_PROFILE_HANDOFF ('{mapping}' is the handle
//             value), or null to leave the variable out
//   claimedParent (pid), abandonMutex, holdMutexMs, closeAck,
//   keepOnTimeout, waitExit (default true: wait for the runtime's exit)
//   stdin     what the runtime reads as its standard input: a file or a
//             named pipe's path (default NUL)
//   env       extra environment for the launcher and so the runtime
//   timeoutMs the launcher is killed after this long (120000); exitCode null
//   launcher  'home' (default) or 'build': run the build's broker instead
// The placeholders and the exit codes are documented at the top of
// tools/broker/launcher_role_win.cc; `outcome` is one of acknowledged,
// timeout, closed, invalid, abandoned, setup_failed, launch_failed.
// runJobScript(home, source, options) runs a job runtime's script and reads
// the object it prints last.
//
// writeRecord(home, relative, text) replaces a file of the home owner-only,
// as the servicing side would; removeHome(home) deletes the temporary folder;
// inputPipe() and waitForFile(file) serve tests of resident runtimes.
import { spawn } from 'node:child_process';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';
import { randomBytes } from 'node:crypto';

export const brokerBuild = {
  testbed: process.env.NUVRA_BROKER_TESTBED,
  release: process.env.NUVRA_BROKER_RELEASE,
};
export const nodeExe = process.env.NUVRA_NODE_EXE;

function buildFile(flavour, name) {
  const broker = brokerBuild[flavour];
  if (!broker) throw new Error(`NUVRA_BROKER_${flavour.toUpperCase()} is not set; run testbed/test`);
  return path.win32.join(path.win32.dirname(broker), name);
}

// The installer and the Windows unit-test executable (which doubles as a
// native probe of the handoff) sit beside the broker in each build tree.
export const installerPath = (flavour = 'testbed') => buildFile(flavour, 'nuvra_install_home.exe');
export const probePath = (flavour = 'testbed') => buildFile(flavour, 'win_tests.exe');

// Runs a program to its end, collecting what it writes. Under Wine, with the
// machine loaded by parallel suites, CreateProcess now and then fails with an
// error libuv calls UNKNOWN before the program runs at all; such a start is
// tried again (a few times), never a program that did run, and counted
// (startRetries) for the suites that bound their retries.
let retriedStarts = 0;
export const startRetries = () => retriedStarts;
export async function run(file, args, { env, timeoutMs = 120000 } = {}) {
  for (let attempt = 1; ; attempt += 1) {
    try {
      return await runOnce(file, args, env, timeoutMs);
    } catch (error) {
      if (error.code !== 'UNKNOWN' || attempt === 4) throw error;
      retriedStarts += 1;
      await new Promise((resolve) => setTimeout(resolve, 250 * attempt));
    }
  }
}

// A program still running after `timeoutMs` is killed and reported with
// code null, so that a hung launch fails its test instead of the whole run.
function runOnce(file, args, env, timeoutMs) {
  return new Promise((resolve, reject) => {
    const child = spawn(file, args, {
      stdio: ['ignore', 'pipe', 'pipe'],
      env: env ? { ...process.env, ...env } : process.env,
      windowsHide: true,
      timeout: timeoutMs,
    });
    let stdout = '';
    let stderr = '';
    child.stdout.setEncoding('utf8').on('data', (d) => { stdout += d; });
    child.stderr.setEncoding('utf8').on('data', (d) => { stderr += d; });
    child.on('error', reject);
    child.on('close', (code) => resolve({ code, stdout, stderr }));
  });
}

export async function installHome(options = {}) {
  const flavour = options.flavour ?? 'testbed';
  const scratch = fs.mkdtempSync(path.join(os.tmpdir(), 'nuvra-home-'));
  const requested = path.win32.join(scratch, 'home');
  const resultFile = path.win32.join(scratch, 'install-result.json');
  const args = ['--home', requested, '--node', options.node ?? nodeExe,
    '--broker', brokerBuild[flavour], '--result', resultFile];
  for (const [name, flag] of [['version', '--version'], ['generation', '--generation'],
    ['sessionId', '--session-id'], ['deviceId', '--device-id'], ['consumerId', '--consumer-id']]) {
    if (options[name] !== undefined) args.push(flag, options[name]);
  }
  const { code, stderr } = await run(installerPath(flavour), args);
  if (code !== 0) throw new Error(`installer exited with ${code}: ${stderr}`);
  const r = JSON.parse(fs.readFileSync(resultFile, 'utf8'));
  return {
    home: r.home, root: r.root, version: r.version, generation: r.generation,
    payloadDigest: r.payload_digest, ownerSidHash: r.owner_sid_hash, homeKey: r.home_key,
    nodeSha256: r.node_sha256, nativeSha256: r.native_sha256,
    lifetimeIdentity: r.lifetime_identity, workIdentity: r.work_identity,
    nodeImage: path.win32.join(r.root, 'runtime', 'node', 'node.exe'),
    brokerImage: path.win32.join(r.root, 'connector', 'vevadu-code', 'client',
      'nuvra_windows_broker_native.exe'),
    scratch, flavour,
  };
}

const rawText = Symbol('raw');
// A handoff value inserted as it stands (a number placeholder, broken JSON).
export function raw(text) {
  return { [rawText]: text };
}

function scratchFile(home, stem) {
  return path.win32.join(home.scratch, `${stem}-${randomBytes(6).toString('hex')}`);
}

export async function launchRuntime(options) {
  const { home } = options;
  const base = scratchFile(home, 'launch');
  const files = { stdout: `${base}.out`, stderr: `${base}.err`, result: `${base}.result.json` };
  const args = ['launch', '--home', home.home, '--version', home.version,
    '--generation', home.generation, '--payload-digest', home.payloadDigest,
    '--stdout', files.stdout, '--stderr', files.stderr, '--result', files.result];
  if (options.role) args.push('--role', options.role);
  if (options.purpose) args.push('--purpose', options.purpose);
  if (options.template !== undefined) {
    const templateFile = `${base}.template.json`;
    fs.writeFileSync(templateFile, options.template);
    args.push('--template', templateFile);
  }
  for (const [key, value] of Object.entries(options.handoff ?? {})) {
    if (value === undefined) args.push('--unset', key);
    else if (value && typeof value === 'object' && rawText in value) args.push('--set', `${key}=${value[rawText]}`);
    else args.push('--set', `${key}=${JSON.stringify(value)}`);
  }
  for (const guard of options.guards ?? []) args.push('--guard', guard);
  if (options.mappingSize !== undefined) args.push('--mapping-size', String(options.mappingSize));
  if (options.mappingWritable) args.push('--mapping-writable');
  if (options.lengthWord !== undefined) args.push('--length-word', String(options.lengthWord));
  if (options.deadlineMs !== undefined) args.push('--deadline-ms', String(options.deadlineMs));
  if (options.handoffEnv === null) args.push('--no-handoff-env');
  else if (options.handoffEnv !== undefined) args.push('--handoff-env', options.handoffEnv);
  if (options.claimedParent !== undefined) args.push('--claimed-parent', String(options.claimedParent));
  if (options.abandonMutex) args.push('--abandon-mutex');
  if (options.holdMutexMs !== undefined) args.push('--hold-mutex-ms', String(options.holdMutexMs));
  if (options.closeAck) args.push('--close-ack');
  if (options.keepOnTimeout) args.push('--keep-on-timeout');
  if (options.stdin !== undefined) args.push('--stdin', options.stdin);
  if (options.waitExit ?? true) args.push('--wait-exit');
  let script = options.script;
  if (options.source !== undefined) {
    script = `${base}.mjs`;
    fs.writeFileSync(script, options.source);
  }
  if (script !== undefined || options.args) args.push('--', ...(script !== undefined ? [script] : []), ...(options.args ?? []));

  const launcher = options.launcher === 'build' ? brokerBuild[home.flavour] : home.brokerImage;
  const launched = await run(launcher, args, { env: options.env, timeoutMs: options.timeoutMs });
  const read = (file) => (fs.existsSync(file) ? fs.readFileSync(file, 'utf8') : '');
  const resultText = read(files.result);
  const result = resultText ? JSON.parse(resultText) : null;
  let handoff = null;
  try { handoff = result ? JSON.parse(result.handoff_text) : null; } catch { handoff = null; }
  return {
    exitCode: launched.code,
    outcome: result?.outcome ?? null,
    reason: result?.reason ?? null,
    ackByte: result?.ack_byte ?? null,
    runtimeExitCode: result?.runtime_exit_code ?? null,
    runtimePid: result?.runtime_pid ?? null,
    stdout: read(files.stdout),
    stderr: read(files.stderr),
    result,
    handoff,
    launcherOutput: launched.stdout + launched.stderr,
  };
}

// Runs `source` in a job runtime of `home` (launchRuntime's other `options`
// as they are) and returns the object of its last output line. Such a
// script records finishStartup's result as `finish` and a crash as
// `crashed`: the runtime must have started and not crashed.
export async function runJobScript(home, source, options = {}) {
  const launch = await launchRuntime({ home, role: 'job', source, ...options });
  const line = launch.stdout.trim().split(/\r?\n/).pop();
  assert.ok(line, `no output; launcher: ${launch.launcherOutput} ${launch.reason} stderr: ${launch.stderr}`);
  const seen = JSON.parse(line);
  assert.equal(seen.crashed, undefined, seen.crashed);
  assert.equal(seen.finish?.value, true, JSON.stringify(seen));
  return seen;
}

export async function writeRecord(home, relative, text) {
  const source = scratchFile(home, 'record');
  fs.writeFileSync(source, text);
  const target = path.win32.join(home.home, relative);
  const { code, stderr } = await run(installerPath(home.flavour), ['--write-record', target, '--from', source]);
  fs.rmSync(source, { force: true });
  if (code !== 0) throw new Error(`writing ${relative} failed with ${code}: ${stderr}`);
}

// A named pipe a resident runtime reads as its standard input (launchRuntime's
// `stdin`); `say(text)` writes to it once the runtime has connected.
export function inputPipe() {
  const name = `\\\\.\\pipe\\nuvra-resident-input-${randomBytes(8).toString('hex')}`;
  let connected;
  const socket = new Promise((resolve) => { connected = resolve; });
  const server = net.createServer((s) => connected(s));
  const listening = new Promise((resolve) => server.listen(name, resolve));
  return { name, listening, say: async (text) => { (await socket).end(text); }, close: () => server.close() };
}

// Waits for a file another process writes; one that never comes fails the
// case instead of hanging the run.
export async function waitForFile(file, limitMs = 60000) {
  const until = Date.now() + limitMs;
  while (!fs.existsSync(file)) {
    if (Date.now() > until) throw new Error(`${file} never appeared`);
    await new Promise((resolve) => setTimeout(resolve, 20));
  }
}

export function removeHome(home) {
  fs.rmSync(home.scratch, { recursive: true, force: true, maxRetries: 5, retryDelay: 100 });
}
