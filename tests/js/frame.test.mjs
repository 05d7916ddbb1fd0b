import { describe, it } from 'node:test';
import assert from 'node:assert/strict';
import { Worker } from 'node:worker_threads';
import { loadAddon, addonPath, thrownMessage } from './lib/addon.mjs';
import { readExports, readImports, declaredNodeApiVersion } from '../../testbed/lib/pe.mjs';

// Registration order and fixed argument counts; null marks the functions
// whose count rule is not a fixed number.
const functions = [
  ['newTerminalOperation', 2], ['prepareTerminal', 5], ['commitTerminal', 5],
  ['closeTerminalOperation', 1], ['timingCheckpoint', 1], ['residentCheckpoint', 1],
  ['endResident', 0], ['publishResident', 1], ['spawnResidentHost', 0], ['observeResident', 0],
  ['residentStatus', 0], ['prepareAccountWorker', 0], ['readyAccountWorker', 0],
  ['adoptAccountWorker', 1], ['releaseAccountWorker', 1], ['prepareBrokerBudget', 1],
  ['initialize', null], ['finishStartup', null], ['beginWork', null], ['endWork', 1],
  ['checkWorkBinding', 2], ['observeBroker', 5], ['exchange', 6], ['closeClientDispatch', 1],
  ['serverOutcome', 1], ['bindServerWork', 2], ['serverPhase', 3], ['exchangePhase', 6],
  ['exchangeOutcome', 1], ['ingressRemaining', 1], ['appendIngressDiagnostic', 4],
  ['closeDiagnosticEvent', 1], ['appendDiagnostic', 2], ['newDiagnosticEvent', null],
  ['spawnAsync', 4], ['write', 2], ['end', 1], ['poll', 1], ['kill', 1], ['dispose', 1],
];

for (const flavour of ['testbed', 'release']) {
  describe(`the ${flavour} binary`, () => {
    it('exports exactly the two module entry points', () => {
      assert.deepEqual([...readExports(addonPath[flavour]).keys()].sort(),
        ['napi_register_module_v1', 'node_api_module_get_api_version_v1']);
    });
    it('declares Node-API version 8', () => {
      assert.equal(declaredNodeApiVersion(addonPath[flavour]), 8);
    });
    it('imports only system DLLs and node.exe', () => {
      const allowed = /^(kernel32|advapi32|bcrypt|msvcrt|ntdll|user32|ws2_32|api-ms-win-.*)\.dll$|^node\.exe$/i;
      for (const dll of readImports(addonPath[flavour])) assert.match(dll, allowed);
      assert.ok(readImports(addonPath[flavour]).some((dll) => /^node\.exe$/i.test(dll)));
    });
  });
}

describe('registration', () => {
  const addon = loadAddon();

  it('defines the 40 functions in table order', () => {
    assert.deepEqual(Reflect.ownKeys(addon), functions.map(([name]) => name));
  });

  it('defines every function read-only, non-enumerable and non-configurable', () => {
    for (const [name] of functions) {
      const d = Object.getOwnPropertyDescriptor(addon, name);
      assert.equal(typeof d.value, 'function', name);
      assert.deepEqual([d.writable, d.enumerable, d.configurable], [false, false, false], name);
    }
  });
});

describe('argument counts', () => {
  const addon = loadAddon();

  it('refuses one argument too many or too few for every fixed-count function', () => {
    for (const [name, count] of functions) {
      if (count === null) continue;
      const tooMany = Array(count + 1).fill('x');
      assert.equal(thrownMessage(() => addon[name](...tooMany)), 'arguments_invalid', `${name}+1`);
      if (count > 0) {
        const tooFew = Array(count - 1).fill('x');
        assert.equal(thrownMessage(() => addon[name](...tooFew)), 'arguments_invalid', `${name}-1`);
      }
    }
  });

  it('refuses initialize with any argument', () => {
    assert.equal(thrownMessage(() => addon.initialize(undefined)), 'profile_arguments');
    assert.equal(thrownMessage(() => addon.initialize(1, 2)), 'profile_arguments');
  });

  it('refuses beginWork with six arguments and newDiagnosticEvent with two', () => {
    assert.equal(thrownMessage(() => addon.beginWork(1, 2, 3, 4, 5, 6)), 'profile_arguments');
    assert.equal(thrownMessage(() => addon.newDiagnosticEvent('a', 'b')), 'profile_arguments');
  });

  it('treats finishStartup with three arguments as with none', () => {
    assert.equal(thrownMessage(() => addon.finishStartup(1, 2, 3)), thrownMessage(() => addon.finishStartup()));
  });

  it('throws plain Errors whose code is unset', () => {
    try {
      addon.endWork();
      assert.fail('endWork() returned');
    } catch (error) {
      assert.ok(error instanceof Error);
      assert.equal(error.message, 'arguments_invalid');
      assert.equal(error.code, undefined);
    }
  });
});

describe('environments', () => {
  const workerSource = (path) => `
    const { parentPort } = require('node:worker_threads');
    const addon = require(${JSON.stringify(path)});
    let message;
    try { addon.endWork(); } catch (e) { message = e.message; }
    parentPort.postMessage({ names: Reflect.ownKeys(addon).length, message });
    setInterval(() => {}, 1000);`;

  it('loads independently in two worker threads and survives one being terminated', async () => {
    const main = loadAddon();
    const start = () => new Worker(workerSource(addonPath.testbed), { eval: true });
    const workers = [start(), start()];
    const first = await Promise.all(workers.map((w) => new Promise((resolve, reject) => {
      w.once('message', resolve);
      w.once('error', reject);
    })));
    for (const reply of first) assert.deepEqual(reply, { names: 40, message: 'arguments_invalid' });
    assert.equal(await workers[0].terminate(), 1);
    // The main environment and the other worker are untouched.
    assert.equal(thrownMessage(() => main.endWork()), 'arguments_invalid');
    const again = new Worker(workerSource(addonPath.testbed), { eval: true });
    assert.deepEqual(await new Promise((resolve) => again.once('message', resolve)),
      { names: 40, message: 'arguments_invalid' });
    await Promise.all([workers[1].terminate(), again.terminate()]);
  });
});
