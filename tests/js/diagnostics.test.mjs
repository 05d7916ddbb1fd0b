import { describe, it } from 'node:test';
import assert from 'node:assert/strict';
import { loadAddon, thrownMessage } from './lib/addon.mjs';

const unknownToken = 'ab'.repeat(32);

for (const flavour of ['testbed', 'release']) {
  describe(`diagnostic events before startup custody (${flavour})`, () => {
    const addon = loadAddon(flavour);

    it('refuses newDiagnosticEvent without a finished startup, whatever the scope', () => {
      assert.equal(thrownMessage(() => addon.newDiagnosticEvent()), 'profile_custody_required');
      assert.equal(thrownMessage(() => addon.newDiagnosticEvent('mcp')), 'profile_custody_required');
      assert.equal(thrownMessage(() => addon.newDiagnosticEvent('bogus')), 'profile_custody_required');
    });

    it('checks the argument count of newDiagnosticEvent before anything else', () => {
      assert.equal(thrownMessage(() => addon.newDiagnosticEvent('worker', 'x')), 'profile_arguments');
    });

    it('knows no event by an unknown token', () => {
      assert.equal(thrownMessage(() => addon.closeDiagnosticEvent(unknownToken)),
        'diagnostic_event_required');
      assert.equal(
        thrownMessage(() => addon.appendIngressDiagnostic(unknownToken, 'framing', 'started', 'none')),
        'diagnostic_event_required');
    });

    it('refuses a token that is not a string', () => {
      assert.equal(thrownMessage(() => addon.closeDiagnosticEvent(7)), 'profile_string');
      assert.equal(thrownMessage(() => addon.closeDiagnosticEvent('')), 'profile_string');
      assert.equal(
        thrownMessage(() => addon.appendIngressDiagnostic(null, 'framing', 'started', 'none')),
        'profile_string');
    });

    it('holds closeDiagnosticEvent and appendIngressDiagnostic to exact counts', () => {
      assert.equal(thrownMessage(() => addon.closeDiagnosticEvent()), 'arguments_invalid');
      assert.equal(thrownMessage(() => addon.appendIngressDiagnostic(unknownToken, 'framing', 'started')),
        'arguments_invalid');
    });
  });
}
