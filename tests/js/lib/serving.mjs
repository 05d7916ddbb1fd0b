// The product's resident serving real client runtimes of a home: the
// resident (product/resident.mjs serving with product/serve.mjs, or a
// script of the test's own) published, and entry runtimes sending requests
// through the product's client (product/client.mjs).
//
// whileServing(home, during, source) starts the resident, runs `during`
// once its endpoint record exists, then tells it to end and checks that it
// ended with 0. client(home, requests, gate) runs `requests` one after
// another in one client runtime; each result is { text } (the response as
// UTF-8) or { error }. With a `gate` directory the runtime, once started,
// leaves a file there and sends nothing before the gate's "go" file appears
// (openGate), so that clients started together send together and no
// request's budget is spent on the others' starts. With `timed`, each result
// also has `at` (when the request began, epoch milliseconds) and `ms` (how
// long it took), for the benchmarks.
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { randomUUID } from 'node:crypto';
import { fileURLToPath, pathToFileURL } from 'node:url';
import { addonPath } from './addon.mjs';
import { launchRuntime, inputPipe, waitForFile } from './home.mjs';

export const productFile = (name) => fileURLToPath(new URL(`../../../product/${name}`, import.meta.url));
export const productUrl = (name) => pathToFileURL(productFile(name)).href;

export const request = (operation, body, version = 2) => ({ operation, body, version, requestId: randomUUID() });

export async function client(home, requests, gate = '', { timed = false } = {}) {
  const launch = await launchRuntime({ home, role: 'job',
    args: [Buffer.from(JSON.stringify(requests)).toString('base64'), gate, timed ? 'timed' : ''], source: `
import fs from 'node:fs';
import { createRequire } from 'node:module';
import { brokerRequest } from ${JSON.stringify(productUrl('client.mjs'))};
const addon = createRequire(import.meta.url)(${JSON.stringify(addonPath.testbed)});
addon.initialize();
addon.finishStartup();
const gate = process.argv[3];
if (gate) {
  fs.writeFileSync(gate + '\\\\ready-' + process.pid, '');
  while (!fs.existsSync(gate + '\\\\go')) await new Promise((resolve) => setTimeout(resolve, 5));
}
const timed = process.argv[4] === 'timed';
const out = [];
for (const request of JSON.parse(Buffer.from(process.argv[2], 'base64').toString())) {
  const t0 = performance.now();
  let result;
  try { result = { text: (await brokerRequest(addon, request)).toString('utf8') }; }
  catch (e) { result = { error: e.message }; }
  if (timed) Object.assign(result, { at: performance.timeOrigin + t0, ms: performance.now() - t0 });
  out.push(result);
}
console.log(JSON.stringify(out));
` });
  const line = launch.stdout.trim().split(/\r?\n/).pop();
  assert.ok(line, `no output; ${launch.outcome} ${launch.launcherOutput} ${launch.reason} stderr: ${launch.stderr}`);
  return JSON.parse(line);
}

// Lets the clients at `gate` send once all of `clients` have started; gives
// up when they have all ended without (a client that could not start).
export async function openGate(gate, clients) {
  let ended = false;
  const all = Promise.all(clients).finally(() => { ended = true; });
  all.catch(() => {});
  while (!ended && fs.readdirSync(gate).filter((name) => name.startsWith('ready-')).length < clients.length) {
    await new Promise((resolve) => setTimeout(resolve, 20));
  }
  fs.writeFileSync(path.win32.join(gate, 'go'), '');
  return all;
}

export async function whileServing(home, during, source) {
  const input = inputPipe();
  await input.listening;
  const running = launchRuntime({ home, role: 'resident', stdin: input.name,
    ...(source ? { source } : { script: productFile('resident.mjs'), args: [addonPath.testbed] }) });
  let seen;
  try {
    await waitForFile(path.win32.join(home.home, 'state', 'broker', 'endpoint.json'));
    seen = await during();
  } finally {
    await input.say('end\n');
    const launch = await running;
    input.close();
    assert.equal(launch.runtimeExitCode, 0, `${launch.stdout} ${launch.stderr}`);
  }
  return seen;
}
