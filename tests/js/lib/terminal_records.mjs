// The day's log of a test home and the two records a terminal operation
// leaves in it, built here from the format's rules (never by the addon):
// single-line JSON, members in the format's order, nullable members null
// when empty, evidence copied raw, each line ending "}\n".
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';

export const today = () => new Date().toISOString().slice(0, 10).replaceAll('-', '');
export const logFile = (home) => path.win32.join(home.home, 'logs', `nuvra-${today()}-0.jsonl`);
// The raw lines of the day's file, each with its line feed.
export const rawLines = (home) => (fs.existsSync(logFile(home))
  ? fs.readFileSync(logFile(home), 'utf8').split(/(?<=\n)/) : []);

export const stampPattern = /^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z$/;
const nullable = (value) => (value === '' ? 'null' : `"${value}"`);

// The values only the writer can know (id, time stamps, tick differences)
// are taken from the line by the caller.
export function expectedCheckpoint({ id, attempt, request, operation, utc }) {
  return '{"schema_version":"nuvra.operation-checkpoint.v1","event":"terminal_pending",'
    + `"operation_id":"${id}","attempt_id":${nullable(attempt)},"request_id":${nullable(request)},`
    + `"operation":"${operation}","terminal_status":"unavailable","outcome":"unknown",`
    + `"utc":"${utc}"}\n`;
}
export function expectedTerminal({ id, attempt, request, operation, phase, ok, state, reason, utc,
  elapsed, client = 'null', server = 'null' }) {
  const e = elapsed;
  return '{"schema_version":"nuvra.operation-terminal.v1","event":"operation_result",'
    + `"operation_id":"${id}","attempt_id":${nullable(attempt)},"request_id":${nullable(request)},`
    + `"operation":"${operation}","phase":${nullable(phase)},"ok":${ok},"state":"${state}",`
    + `"reason":"${reason}","utc":"${utc}","elapsed":{"original_budget_ms":${e.original_budget_ms},`
    + `"work_ms":${e.work_ms},"end_ms":${e.end_ms},"projection_ms":${e.projection_ms},`
    + `"operation_ms":${e.operation_ms}},"client":${client},"server":${server}}\n`;
}

// The nth checkpoint of `operation` and the lines that carry the same id.
export function recordsOf(home, operation, nth = 0) {
  const lines = rawLines(home);
  const checkpoints = lines.filter((line) => line.includes('"event":"terminal_pending"')
    && JSON.parse(line).operation === operation);
  const checkpoint = checkpoints[nth];
  assert.ok(checkpoint, `no checkpoint ${nth} for ${operation}`);
  const { operation_id: id } = JSON.parse(checkpoint);
  const terminals = lines.filter((line) => line.includes('"event":"operation_result"')
    && JSON.parse(line).operation_id === id);
  const sameId = lines.filter((line) => line.includes(`"operation_id":"${id}"`));
  return { checkpoint, terminals, id, sameId };
}
