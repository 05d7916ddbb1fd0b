// beginWork, endWork and checkWorkBinding in a runtime without custody: the
// argument rules that come before the custody check, and the refusals that
// follow from having no works.
import { describe, it } from 'node:test';
import assert from 'node:assert/strict';
import { loadAddon, thrownMessage } from './lib/addon.mjs';

for (const flavour of ['testbed', 'release']) {
  const addon = loadAddon(flavour);

  describe(`beginWork argument rules (${flavour})`, () => {
    it('refuses a first argument that is not a function', () => {
      assert.equal(thrownMessage(() => addon.beginWork(1000)), 'profile_budget_required');
      assert.equal(thrownMessage(() => addon.beginWork(undefined)), 'profile_budget_required');
    });

    it('refuses a budget function whose result is not a number', () => {
      for (const result of ['1000', null, undefined, {}, 10n]) {
        assert.equal(thrownMessage(() => addon.beginWork(() => result)),
          'profile_budget_required', String(result));
      }
    });

    it('refuses budgets below one millisecond, NaN and infinities', () => {
      for (const result of [0.5, 0, -1, NaN, Infinity, -Infinity]) {
        assert.equal(thrownMessage(() => addon.beginWork(() => result)),
          'profile_startup_timeout', String(result));
      }
    });

    it('passes a long budget on to the custody check', () => {
      assert.equal(thrownMessage(() => addon.beginWork(() => 5000)), 'profile_custody_required');
      assert.equal(thrownMessage(() => addon.beginWork()), 'profile_custody_required');
    });

    it('lets an exception of the budget function reach the caller', () => {
      assert.equal(thrownMessage(() => addon.beginWork(() => { throw new Error('own'); })), 'own');
    });

    it('refuses unknown roles and operations before calling the budget function', () => {
      let called = false;
      const budget = () => { called = true; return 500; };
      assert.equal(thrownMessage(() => addon.beginWork(budget, '-', 'owner')),
        'profile_evidence_role');
      assert.equal(thrownMessage(() => addon.beginWork(budget, '-', 'client', 'connect')),
        'profile_evidence_role');
      assert.equal(thrownMessage(() => addon.beginWork(budget, '-', 'client', '')),
        'profile_string');
      assert.equal(called, false);
    });

    it('refuses a fifth argument that is not a budget token', () => {
      for (const token of [1, '1', {}, null, undefined]) {
        assert.equal(thrownMessage(() => addon.beginWork(() => 500, '-', 'client', 'recall', token)),
          'profile_budget_class', String(token));
      }
    });

    it('refuses six arguments', () => {
      assert.equal(thrownMessage(() => addon.beginWork(() => 500, '-', 'client', 'recall', 1, 2)),
        'profile_arguments');
    });
  });

  describe(`work lookup without works (${flavour})`, () => {
    // One lookup for every entry that takes a work id: text that is not
    // canonical decimal is refused as such, a well-formed id that names no
    // work as that.
    it('refuses malformed ids as integers and unknown ones as no work', () => {
      const ids = [
        ['1', 'profile_work_required'],
        ['18446744073709551615', 'profile_work_required'],
        ['99999999999999999999', 'stoull argument out of range'],
        ['0', 'profile_integer'],
        ['01', 'profile_integer'],
        ['+1', 'profile_integer'],
        [' 1', 'profile_integer'],
        ['x', 'profile_integer'],
        ['', 'profile_string'],
        [1, 'profile_string'],
      ];
      const entries = {
        endWork: (id) => addon.endWork(id),
        checkWorkBinding: (id) => addon.checkWorkBinding(id, 'C:\\x.exe'),
        appendDiagnostic: (id) => addon.appendDiagnostic(id, 'line\n'),
        spawnAsync: (id) => addon.spawnAsync(id, 'C:\\x.exe', [], {}),
      };
      for (const [name, call] of Object.entries(entries)) {
        for (const [id, expected] of ids) {
          assert.equal(thrownMessage(() => call(id)), expected, `${name}(${JSON.stringify(id)})`);
        }
      }
    });

    it('keeps the exact argument counts', () => {
      assert.equal(thrownMessage(() => addon.endWork()), 'arguments_invalid');
      assert.equal(thrownMessage(() => addon.endWork('1', '2')), 'arguments_invalid');
      assert.equal(thrownMessage(() => addon.checkWorkBinding('1')), 'arguments_invalid');
    });
  });
}
