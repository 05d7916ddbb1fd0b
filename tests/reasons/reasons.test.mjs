// The reason-code report: for every code of the addon's vocabulary (ReasonCode
// in the TypeScript declarations, itself checked against the sources) whether
// a test provokes it through the addon or the broker executable and asserts
// it, whether only a portable rule's host test reaches it, or why nothing does
// (unreached.md). "Provoked" needs both: the code surfaced to a caller during
// the run (the testbed build notes every reason its frame throws, its job hub
// rejects with and a Windows unit test catches, in the file the test command
// names in NUVRA_REASON_LOG and passes here as NUVRA_REASONS_PROVOKED), and a
// suite or Windows unit test names it outside a comment. Writes the report to
// NUVRA_REASONS_REPORT when set. Run by the test command with the host's node,
// after the suites.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

const here = path.dirname(fileURLToPath(import.meta.url));
const root = path.resolve(here, '../..');

const declarations = fs.readFileSync(path.join(root, 'types/index.d.ts'), 'utf8');
const union = declarations.match(/export type ReasonCode =([^;]*);/);
const codes = [...union[1].matchAll(/"([a-z0-9_]+)"/g)].map((m) => m[1]);
const explained = new Map([...fs.readFileSync(path.join(here, 'unreached.md'), 'utf8')
  .matchAll(/^- (`[a-z0-9_]+`(?:, `[a-z0-9_]+`)*): (.*)$/gm)]
  .flatMap((m) => [...m[1].matchAll(/`([a-z0-9_]+)`/g)].map((c) => [c[1], m[2]])));

// A comment names nothing.
const withoutComments = (text) => text.replace(/\/\*[\s\S]*?\*\//g, '').replace(/(^|[^:\\])\/\/.*$/gm, '$1');

// Every test source but this folder's own files, by where it runs.
function testSources(dir) {
  return fs.readdirSync(dir, { withFileTypes: true }).flatMap((entry) => {
    const full = path.join(dir, entry.name);
    if (entry.isDirectory()) return full === here ? [] : testSources(full);
    return /\.(mjs|js|ts|cc|h)$/.test(entry.name) ? [full] : [];
  });
}
const portable = new Set(['host', 'fuzz'].map((d) => path.join(root, 'tests', d)));
const named = { suite: new Map(), host: new Map() };
for (const file of testSources(path.join(root, 'tests'))) {
  const where = [...portable].some((d) => file.startsWith(d + path.sep)) ? named.host : named.suite;
  for (const m of withoutComments(fs.readFileSync(file, 'utf8')).matchAll(/["'`]([a-z][a-z0-9_]*)["'`]/g)) {
    if (!where.has(m[1])) where.set(m[1], path.relative(root, file));
  }
}
const provokedLog = process.env.NUVRA_REASONS_PROVOKED;
const seen = provokedLog && fs.existsSync(provokedLog)
  ? new Set(fs.readFileSync(provokedLog, 'utf8').split(/\r?\n/).filter(Boolean)) : null;

test('every reason code is provoked by a test, reached by a host test, or explained', () => {
  assert.ok(codes.length > 100, 'no ReasonCode union');
  const kind = (code) => {
    if (named.suite.has(code) && (seen === null || seen.has(code))) return seen ? 'provoked' : 'named';
    // A portable rule's host test may reach a code that nothing outside the
    // rule can make surface: the explanation says why.
    if (explained.has(code)) return 'unreached';
    if (named.host.has(code)) return 'host';
    return named.suite.has(code) ? 'named' : 'none';
  };
  const of = (k) => codes.filter((code) => kind(code) === k);
  const where = (code) => (kind(code) === 'host' ? named.host.get(code) : named.suite.get(code));
  const report = [
    seen ? `${of('provoked').length} of ${codes.length} reason codes are provoked through the addon or the broker and asserted;`
      : `no log of provoked reasons (NUVRA_REASONS_PROVOKED): ${of('named').length} of ${codes.length} reason codes are named by a suite;`,
    `${of('host').length} are reached only by a portable rule's host test;`,
    `${of('unreached').length} are unreached, each explained in tests/reasons/unreached.md.`,
    ...(seen ? [`${of('named').length} more are named by a suite but were not seen provoked in this run (broker output, release-only paths).`] : []),
    '',
    ...codes.map((code) => {
      const k = kind(code);
      if (k === 'unreached' || k === 'none') return `unreached  ${code}  ${explained.get(code) ?? '(not explained)'}`;
      return `${k.padEnd(10)} ${code}  (${where(code)})`;
    })];
  if (process.env.NUVRA_REASONS_REPORT) fs.writeFileSync(process.env.NUVRA_REASONS_REPORT, report.join('\n') + '\n');
  console.log(report.slice(0, seen ? 4 : 3).join(' '));
  assert.deepEqual(of('none'), [], 'codes no test reaches and nothing explains');
  assert.deepEqual([...explained.keys()].filter((code) => kind(code) !== 'unreached' || seen?.has(code)),
    [], 'explained codes a test now reaches');
  assert.deepEqual([...explained.keys()].filter((code) => !codes.includes(code)), [], 'explained codes the addon does not have');
});
