// Reason codes that no other suite provokes through the addon, one row each:
// a runtime of a fresh home, started by the home's launcher, brings itself
// to the state the row needs (`setup`) and makes one call (`call`), whose
// outcome, thrown or rejected, must be the row's code. A setup that fails
// fails the row: only the call may end with the code.
import { describe, it, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { addonPath } from './lib/addon.mjs';
import { installHome, launchRuntime, removeHome } from './lib/home.mjs';

const STARTED = 'addon.initialize(); addon.finishStartup();';

//   code     what the call must end with
//   role     how the launcher starts the runtime ('entry' by default)
//   launch   more options of launchRuntime
//   setup    statements before the call (default: initialize and finishStartup)
//   call     the expression whose outcome is checked (awaited)
//   late     the outcome of a start the loaded machine made too slow for the
//            row: such a start is made again, twice at most
const rows = [
  // The 129th open diagnostic event of a process.
  { code: 'diagnostic_event_limit',
    setup: `${STARTED} for (let i = 0; i < 128; ++i) addon.newDiagnosticEvent();`,
    call: 'addon.newDiagnosticEvent()' },
  // A resident's 3,000 ms are counted from its first native call, even one
  // that failed: an initialize 3,050 ms later reserves too late. Its handoff
  // deadline must then still be ahead and at most 3,000 ms away, which a
  // runtime that took more than 2,950 ms to start misses ("late").
  { code: 'broker_startup_ceiling_expired', role: 'resident', launch: { deadlineMs: 6000 },
    late: 'profile_startup_timeout',
    setup: 'if (thrown(() => addon.initialize(1)) !== "profile_arguments") throw new Error("no entry"); await sleep(3050);',
    call: 'addon.initialize()' },
];

const script = (row) => `import { createRequire } from 'node:module';
const addon = createRequire(import.meta.url)(${JSON.stringify(addonPath.testbed)});
const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));
const thrown = (fn) => { try { fn(); } catch (e) { return e.message; } };
const out = {};
try {
  ${row.setup ?? STARTED}
} catch (e) { out.setup = e.message ?? String(e); }
if (out.setup === undefined) {
  try { await ${row.call}; out.result = 'ok'; } catch (e) { out.result = e.message; }
}
console.log(JSON.stringify(out));
process.exit();
`;

describe('every reason code a call makes, provoked through the addon', () => {
  let home;
  before(async () => { home = await installHome(); });
  after(() => home && removeHome(home));

  for (const row of rows) {
    it(`${row.code}`, async () => {
      let seen;
      for (let start = 1; ; ++start) {
        const launch = await launchRuntime({ home, role: row.role ?? 'entry', source: script(row), ...row.launch });
        const line = launch.stdout.trim().split(/\r?\n/).pop();
        assert.ok(line, `no report; launcher: ${launch.outcome} ${launch.reason} stderr: ${launch.stderr}`);
        seen = JSON.parse(line);
        if (!row.late || seen.result !== row.late || start === 3) break;
      }
      assert.deepEqual(seen, { result: row.code });
    });
  }
});
