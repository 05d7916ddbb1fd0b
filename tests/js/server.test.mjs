// Server works: bindServerWork, serverPhase, serverOutcome and
// ingressRemaining. The argument rules and the refusals that need no
// resident run in this runtime and in an entry runtime; the server works
// themselves run in a published resident runtime further down.
import { describe, it, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { addonPath, loadAddon, thrownMessage } from './lib/addon.mjs';
import { installHome, launchRuntime, removeHome } from './lib/home.mjs';

for (const flavour of ['testbed', 'release']) {
  const addon = loadAddon(flavour);

  describe(`server entries without custody (${flavour})`, () => {
    it('count their arguments first', () => {
      const table = [
        [() => addon.bindServerWork('1'), 'arguments_invalid'],
        [() => addon.bindServerWork('1', 'x', 'y'), 'arguments_invalid'],
        [() => addon.serverPhase('1', 'admitted'), 'arguments_invalid'],
        [() => addon.serverPhase('1', 'admitted', 'none', 'x'), 'arguments_invalid'],
        [() => addon.serverOutcome(), 'arguments_invalid'],
        [() => addon.serverOutcome('1', '2'), 'arguments_invalid'],
        [() => addon.ingressRemaining(), 'arguments_invalid'],
        [() => addon.ingressRemaining('1', '2'), 'arguments_invalid'],
      ];
      for (const [call, reason] of table) assert.equal(thrownMessage(call), reason, String(call));
    });

    it('find no work to serve', () => {
      const table = [
        [() => addon.bindServerWork('1', 'x'), 'profile_work_required'],
        [() => addon.serverPhase('7', 'admitted', 'none'), 'profile_work_required'],
        [() => addon.serverOutcome('7'), 'profile_work_required'],
        [() => addon.serverOutcome('07'), 'profile_integer'],
        [() => addon.serverOutcome(7), 'profile_string'],
      ];
      for (const [call, reason] of table) assert.equal(thrownMessage(call), reason, String(call));
    });

    it('ingressRemaining reads a client deadline that is past or near', () => {
      // A tick of 1 has long passed on any running machine; the largest one
      // lies far more than a second ahead.
      const table = [
        ['1', 0],
        ['00000000000000000001', 0],
        ['0', 'broker_native_protocol_refused'],
        ['-1', 'broker_native_protocol_refused'],
        [' 1', 'broker_native_protocol_refused'],
        ['1.5', 'broker_native_protocol_refused'],
        ['000000000000000000001', 'broker_native_protocol_refused'],
        ['18446744073709551615', 'broker_native_protocol_refused'],
        ['18446744073709551616', 'broker_native_protocol_refused'],
        [1, 'profile_string'],
        ['', 'profile_string'],
      ];
      for (const [deadline, expected] of table) {
        if (typeof expected === 'number') {
          assert.equal(addon.ingressRemaining(deadline), expected, deadline);
        } else {
          assert.equal(thrownMessage(() => addon.ingressRemaining(deadline)), expected, deadline);
        }
      }
    });
  });
}

// What a server work knows before it is bound, written out from the rules.
const unboundOutcome = (work, operation) => ({
  role: 'server', owner_work: work, server_work: work, operation, correlation: '', sequence: 0,
  last_verified_phase: 'received', terminal_sealed: false, counts_complete: false,
  account_send_count: null, memory_send_count: null, server_reason: null, logging_status: 'unknown',
});

describe('server works in an entry runtime', () => {
  let home;
  let seen;
  before(async () => {
    home = await installHome();
    const launch = await launchRuntime({ home, role: 'entry', source: `
import { createRequire } from 'node:module';
const addon = createRequire(import.meta.url)(${JSON.stringify(addonPath.testbed)});
const out = {};
const attempt = (fn) => { try { return { value: fn() }; } catch (e) { return { error: e.message }; } };
addon.initialize();
addon.finishStartup();
const server = await addon.beginWork(() => 1000, '-', 'server', 'recall');
const client = await addon.beginWork(() => 1000, '-', 'client', 'recall');
out.server = server;
out.outcome = attempt(() => addon.serverOutcome(server));
out.bind = attempt(() => addon.bindServerWork(server, 'x'));
out.phase = attempt(() => addon.serverPhase(server, 'admitted', 'none'));
out.terminal = attempt(() => addon.serverPhase(server, 'terminal', 'none'));
out.client = {
  outcome: attempt(() => addon.serverOutcome(client)),
  bind: attempt(() => addon.bindServerWork(client, 'x')),
  phase: attempt(() => addon.serverPhase(client, 'terminal', 'none')),
};
out.after = attempt(() => addon.serverOutcome(server));
await addon.endWork(server);
await addon.endWork(client);
console.log(JSON.stringify(out));
` });
    seen = JSON.parse(launch.stdout.trim().split(/\r?\n/).pop());
  });
  after(() => removeHome(home));

  it('reports an unbound server work as received', () => {
    assert.deepEqual(seen.outcome.value, unboundOutcome(seen.server, 'recall'));
  });

  it('binds only in a published resident and takes no phase unbound', () => {
    assert.deepEqual(seen.bind, { error: 'profile_resident_required' });
    assert.deepEqual(seen.phase, { error: 'broker_native_protocol_refused' });
    assert.deepEqual(seen.terminal, { error: 'broker_native_protocol_refused' });
    assert.deepEqual(seen.after.value, unboundOutcome(seen.server, 'recall'));
  });

  it('refuses a client work on every server entry', () => {
    assert.deepEqual(seen.client, {
      outcome: { error: 'profile_evidence_role' },
      bind: { error: 'profile_evidence_role' },
      phase: { error: 'profile_evidence_role' },
    });
  });
});

