import { describe, it, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { addonPath } from './lib/addon.mjs';
import { installHome, launchRuntime, removeHome } from './lib/home.mjs';

// The runtime starts up through the addon, then exercises diagnostic events
// and prints what it saw as one JSON line.
const source = `
import { createRequire } from 'node:module';
const addon = createRequire(import.meta.url)(process.argv[2]);
const msg = (fn) => { try { fn(); return 'none'; } catch (e) { return e.message; } };
const out = { level: process.env.NUVRA_AUTH_LOG_LEVEL ?? null };
try { addon.initialize(); } catch (e) { out.initialize = e.message; }
out.beforeAck = msg(() => addon.newDiagnosticEvent());
try { addon.finishStartup(); } catch (e) { out.finish = e.message; }
if (out.level === 'off') {
  out.off = msg(() => addon.newDiagnosticEvent());
} else if (out.level === 'OFF') {
  out.tokens = [addon.newDiagnosticEvent('mcp')];
} else {
  const tokens = [addon.newDiagnosticEvent(), addon.newDiagnosticEvent('mcp'), addon.newDiagnosticEvent()];
  out.tokens = tokens;
  out.badScope = msg(() => addon.newDiagnosticEvent('Worker'));
  const t = tokens[0];
  out.badStage = msg(() => addon.appendIngressDiagnostic(t, 'Framing', 'started', 'none'));
  out.badOutcome = msg(() => addon.appendIngressDiagnostic(t, 'framing', 'begun', 'none'));
  out.badReason = msg(() => addon.appendIngressDiagnostic(t, 'framing', 'started', 'diagnostic_unavailable'));
  out.started = addon.appendIngressDiagnostic(t, 'framing', 'started', 'none');
  out.stageRequired = msg(() => addon.appendIngressDiagnostic(t, 'admission', 'succeeded', 'none'));
  out.succeeded = addon.appendIngressDiagnostic(t, 'framing', 'succeeded', 'none');
  let accepted = 3;
  let last = 'none';
  while (last === 'none' && accepted < 80) {
    last = msg(() => addon.appendIngressDiagnostic(t, 'admission', 'started', 'none'));
    if (last === 'none') accepted += 1;
  }
  out.accepted = accepted;
  out.limit = last;
  out.closed = addon.closeDiagnosticEvent(t);
  out.afterClose = msg(() => addon.closeDiagnosticEvent(t));
  out.afterCloseAppend = msg(() => addon.appendIngressDiagnostic(t, 'framing', 'started', 'none'));
  await new Promise((resolve) => setTimeout(resolve, 3100));
  out.expired = msg(() => addon.appendIngressDiagnostic(tokens[1], 'framing', 'started', 'none'));
}
console.log(JSON.stringify(out));`;

async function runtimeSaw(home, level) {
  const env = level === undefined ? {} : { NUVRA_AUTH_LOG_LEVEL: level };
  const launch = await launchRuntime({ home, source, args: [addonPath.testbed], env });
  assert.equal(launch.outcome, 'acknowledged',
    JSON.stringify({ stdout: launch.stdout, stderr: launch.stderr, reason: launch.reason }));
  return JSON.parse(launch.stdout.trim().split(/\r?\n/).pop());
}

describe('diagnostic events in an initialised runtime', () => {
  let home;
  let errors;
  let off;
  let offCapitals;
  before(async () => {
    home = await installHome();
    // One at a time: a cold runtime start must finish within its deadline.
    errors = await runtimeSaw(home, 'errors');
    off = await runtimeSaw(home, 'off');
    offCapitals = await runtimeSaw(home, 'OFF');
  });
  after(() => removeHome(home));

  it('refuses events until the startup is acknowledged', () => {
    assert.equal(errors.initialize, undefined);
    assert.equal(errors.beforeAck, 'profile_custody_required');
    assert.equal(errors.finish, undefined);
  });

  it('hands out a fresh 64-digit token per event', () => {
    assert.equal(errors.tokens.length, 3);
    for (const token of errors.tokens) assert.match(token, /^[0-9a-f]{64}$/);
    assert.equal(new Set(errors.tokens).size, 3);
  });

  it('refuses a scope, stage, outcome or reason outside its vocabulary', () => {
    assert.equal(errors.badScope, 'diagnostic_record_invalid');
    assert.equal(errors.badStage, 'diagnostic_record_invalid');
    assert.equal(errors.badOutcome, 'diagnostic_record_invalid');
    assert.equal(errors.badReason, 'diagnostic_record_invalid');
  });

  it('with level "errors" answers true at once for records that are not failures', () => {
    assert.equal(errors.started, true);
    assert.equal(errors.succeeded, true);
  });

  it('refuses a stage finished without being started, even when another stage started', () => {
    assert.equal(errors.stageRequired, 'diagnostic_stage_required');
  });

  it('takes 64 stage records and refuses the 65th, refused attempts included', () => {
    assert.equal(errors.accepted, 64);
    assert.equal(errors.limit, 'diagnostic_event_busy');
  });

  it('forgets a closed event', () => {
    assert.equal(errors.closed, true);
    assert.equal(errors.afterClose, 'diagnostic_event_required');
    assert.equal(errors.afterCloseAppend, 'diagnostic_event_required');
  });

  it('refuses stage records once the event is 3,000 ms old', () => {
    assert.equal(errors.expired, 'diagnostic_unavailable');
  });

  it('switches events off only for the exact level "off"', () => {
    assert.equal(off.off, 'profile_custody_required');
    assert.match(offCapitals.tokens[0], /^[0-9a-f]{64}$/);
  });
});
