// Managed children against node's own child_process running the same
// executable with the same arguments: a trivial child from spawn to exit,
// and a child writing floodBytes to standard output, drained to the end.
import { spawn } from 'node:child_process';
import { startRuntime, measure, config, yieldTurn, spawnChild } from './common.mjs';

// Polls until the child has exited and, with `drain`, until both streams
// are closed; resolves with the exit code and the standard-output bytes.
async function pollChild(addon, id, drain) {
  let bytes = 0;
  let exitCode;
  for (;;) {
    const p = addon.poll(id);
    if (p.stdout) bytes += p.stdout.length;
    if (p.exit_code !== undefined) exitCode = p.exit_code;
    if (exitCode !== undefined && (!drain || (p.stdout === false && p.stderr === false))) {
      return { exitCode, bytes };
    }
    if (!(p.stdout && p.stdout.length)) await yieldTurn();
  }
}

// Timed from the spawnAsync call that launched the child (the work it
// needs is begun before and ended after the clock runs).
async function managed(addon, args, drain) {
  const { id, t0 } = await spawnChild(addon, config.broker, args);
  const result = await pollChild(addon, id, drain);
  const ms = performance.now() - t0;
  await addon.dispose(id);
  return { ms, ...result };
}

function plain(args) {
  return new Promise((resolve, reject) => {
    const t0 = performance.now();
    const child = spawn(config.broker, args, { stdio: 'pipe', windowsHide: true });
    let bytes = 0;
    child.stdout.on('data', (chunk) => { bytes += chunk.length; });
    child.stderr.resume();
    child.on('error', reject);
    child.on('close', (exitCode) => resolve({ ms: performance.now() - t0, exitCode, bytes }));
  });
}

function check(result, bytes) {
  if (result.exitCode !== 0 || result.bytes !== bytes) {
    throw new Error(`child ended with ${result.exitCode} after ${result.bytes} of ${bytes} bytes`);
  }
  return result.ms;
}

await measure(async () => {
  const { addon } = startRuntime();
  const exit = ['child', 'exit', '0'];
  const flood = ['child', 'flood', String(config.floodBytes)];
  const samples = { spawnManaged: [], spawnNode: [], floodManaged: [], floodNode: [] };
  await managed(addon, exit, false);
  await plain(exit);
  for (let i = 0; i < config.count; ++i) {
    samples.spawnManaged.push(check(await managed(addon, exit, false), 0));
    samples.spawnNode.push(check(await plain(exit), 0));
  }
  for (let i = 0; i < config.floodRuns; ++i) {
    samples.floodManaged.push(check(await managed(addon, flood, true), config.floodBytes));
    samples.floodNode.push(check(await plain(flood), config.floodBytes));
  }
  return samples;
});
