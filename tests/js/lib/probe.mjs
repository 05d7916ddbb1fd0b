// The native process probe (the test executable's ProcessProbe report) of
// process `pid`: its handle count, each handle as "Kind:value", its memory
// and its number of descendant processes. A probe that printed no report (a
// loaded machine failed its start) is run again, twice at most; null when
// none reported.
import { spawnSync } from 'node:child_process';

export function probeProcess(probe, pid, env = process.env) {
  for (let attempt = 1; attempt <= 3; attempt += 1) {
    const r = spawnSync(probe, ['--gtest_also_run_disabled_tests',
      '--gtest_filter=ProcessProbe.DISABLED_ReportsHandlesAndMemory'], {
      env: { ...env, NUVRA_PROBE_PID: String(pid) }, encoding: 'utf8', windowsHide: true,
    });
    const line = (r.stdout ?? '').split(/\r?\n/).find((l) => l.startsWith('PROBE '));
    if (line) return JSON.parse(line.slice(6));
  }
  return null;
}
