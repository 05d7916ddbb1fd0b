// The product's client tells its caller the reason of the step that failed
// first, whatever the later steps do: a checkpoint, exchange, dispatch or
// end that failed, not the refusal of the terminal record that follows it.
// The addon here is a stand-in that fails the steps each case names; the
// client's own code runs as it stands.
import { describe, it } from 'node:test';
import assert from 'node:assert/strict';
import { brokerRequest } from '../../product/client.mjs';

const ENDPOINT = JSON.stringify({
  pipe_name: '\\\\.\\pipe\\nuvra-memory-v1-test', pid: 1, process_creation_filetime: '1',
  image_path_sha256: 'a', owner_sid_hash: 'b', authentication_id_hash: 'c', windows_session_id: 1,
  broker_binding: 'd', broker_instance: 'e',
});

// A stand-in addon: `fail` maps a step to how it fails, { reject: reason }
// (a rejected promise) or { throw: reason } (a throw at the call).
function standIn(fail) {
  const calls = [];
  const step = (name, value) => (...args) => {
    calls.push([name, ...args.filter((a) => typeof a === 'string' || typeof a === 'boolean')]);
    const how = fail[name];
    if (how?.throw) throw new Error(how.throw);
    if (how?.reject) return Promise.reject(new Error(how.reject));
    return value;
  };
  const addon = {
    initialize: () => ({ root: 'C:\\root', home: 'C:\\home' }),
    prepareBrokerBudget: () => ({ cold: false, budget_ms: 1000, token: 't', endpoint_json: ENDPOINT }),
    newDiagnosticEvent: () => 'event',
    newTerminalOperation: () => ({}),
    beginWork: step('beginWork', Promise.resolve('7')),
    prepareTerminal: step('prepareTerminal', Promise.resolve(true)),
    exchangePhase: step('exchangePhase', Promise.resolve(Buffer.from('answer'))),
    exchangeOutcome: () => ({ terminal_reason: 'none' }),
    closeClientDispatch: step('closeClientDispatch', true),
    endWork: step('endWork', Promise.resolve(true)),
    commitTerminal: step('commitTerminal', Promise.resolve(true)),
    closeTerminalOperation: step('closeTerminalOperation', true),
    closeDiagnosticEvent: step('closeDiagnosticEvent', true),
  };
  return { addon, calls };
}

const CASES = [
  { name: 'a failed checkpoint, whose commit is refused at once',
    fail: { prepareTerminal: { reject: 'diagnostic_unavailable' }, commitTerminal: { throw: 'terminal_end_required' } },
    caller: 'diagnostic_unavailable', committed: ['failed', 'broker_outcome_unknown'], exchanged: false },
  { name: 'a failed exchange, recorded',
    fail: { exchangePhase: { reject: 'broker_native_exited' } },
    caller: 'broker_native_exited', committed: ['failed', 'broker_native_exited'], exchanged: true },
  { name: 'a failed exchange whose record is refused at once',
    fail: { exchangePhase: { reject: 'broker_native_exited' }, commitTerminal: { throw: 'terminal_unavailable' } },
    caller: 'broker_native_exited', committed: ['failed', 'broker_native_exited'], exchanged: true },
  { name: 'a failed exchange whose record is rejected',
    fail: { exchangePhase: { reject: 'broker_native_exited' }, commitTerminal: { reject: 'terminal_unavailable' } },
    caller: 'broker_native_exited', committed: ['failed', 'broker_native_exited'], exchanged: true },
  { name: 'an exchange failing for a reason no record carries',
    fail: { exchangePhase: { reject: 'profile_native_api' } },
    caller: 'profile_native_api', committed: ['failed', 'broker_outcome_unknown'], exchanged: true },
  { name: 'a failed end after a good exchange',
    fail: { endWork: { reject: 'profile_cleanup_uncertain' }, commitTerminal: { throw: 'terminal_end_required' } },
    caller: 'profile_cleanup_uncertain', committed: ['failed', 'broker_outcome_unknown'], exchanged: true },
  { name: 'a failed exchange and then a failed end',
    fail: { exchangePhase: { reject: 'broker_native_exited' }, endWork: { reject: 'profile_cleanup_uncertain' },
      commitTerminal: { throw: 'terminal_end_required' } },
    caller: 'broker_native_exited', committed: ['failed', 'broker_native_exited'], exchanged: true },
  { name: 'a dispatch that would not close',
    fail: { closeClientDispatch: { throw: 'profile_work_ended' } },
    caller: 'profile_work_ended', committed: ['failed', 'profile_work_ended'], exchanged: true },
  { name: 'nothing failing',
    fail: {}, caller: null, committed: ['saved', 'none'], exchanged: true },
];

describe('the reason a client operation reports', () => {
  for (const c of CASES) {
    it(c.name, async () => {
      const { addon, calls } = standIn(c.fail);
      let caller = null;
      try {
        const answer = await brokerRequest(addon, { operation: 'capture', body: '{}', requestId: 'r' });
        assert.equal(answer.toString(), 'answer');
      } catch (error) {
        caller = error.message;
      }
      assert.equal(caller, c.caller);
      const named = (name) => calls.filter(([called]) => called === name);
      assert.equal(named('exchangePhase').length, c.exchanged ? 1 : 0);
      // The work always ends, and the operation and event are always closed.
      assert.equal(named('endWork').length, 1);
      assert.equal(named('closeTerminalOperation').length, 1);
      assert.equal(named('closeDiagnosticEvent').length, 1);
      const [commit] = named('commitTerminal');
      assert.deepEqual(commit.slice(2, 4), c.committed);
    });
  }
});
