import { describe, it } from 'node:test';
import assert from 'node:assert/strict';
import { loadAddon, thrownMessage } from './lib/addon.mjs';

const addon = loadAddon();

describe('managed children without a launched child', () => {
  it('refuses an id this environment does not own', () => {
    assert.equal(thrownMessage(() => addon.write(1, Buffer.from('x'))), 'child_not_owned');
    assert.equal(thrownMessage(() => addon.end(1)), 'child_not_owned');
    assert.equal(thrownMessage(() => addon.poll(1)), 'child_not_owned');
    assert.equal(thrownMessage(() => addon.kill(4294967295)), 'child_not_owned');
    assert.equal(thrownMessage(() => addon.dispose(0)), 'child_not_owned');
  });

  it('refuses an id that is not a number', () => {
    for (const name of ['end', 'poll', 'kill', 'dispose']) {
      assert.equal(thrownMessage(() => addon[name]('1')), 'profile_native_api', name);
    }
    assert.equal(thrownMessage(() => addon.write({}, Buffer.alloc(0))), 'profile_native_api');
  });
});
