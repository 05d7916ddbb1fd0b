// The reason-code report: which codes of the addon's vocabulary (ReasonCode
// in the TypeScript declarations, itself checked against the sources) some
// test names, and for each code none names, why (unreached.md). Writes the
// report to NUVRA_REASONS_REPORT when set. Run by the test command with the
// host's node.
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

// Every test source but this folder's own files.
function testSources(dir) {
  return fs.readdirSync(dir, { withFileTypes: true }).flatMap((entry) => {
    const full = path.join(dir, entry.name);
    if (entry.isDirectory()) return full === here ? [] : testSources(full);
    return /\.(mjs|js|ts|cc|h)$/.test(entry.name) ? [full] : [];
  });
}
const named = new Map();
for (const file of testSources(path.join(root, 'tests'))) {
  const text = fs.readFileSync(file, 'utf8');
  for (const m of text.matchAll(/["'`]([a-z][a-z0-9_]*)["'`]/g)) {
    if (!named.has(m[1])) named.set(m[1], path.relative(root, file));
  }
}

test('every reason code is named by a test or explained', () => {
  assert.ok(codes.length > 100, 'no ReasonCode union');
  const reached = codes.filter((code) => named.has(code));
  const unreached = codes.filter((code) => !named.has(code));
  const report = [`${reached.length} of ${codes.length} reason codes are named by a test;` +
    ` ${unreached.length} are not, each explained in tests/reasons/unreached.md.`, '',
  ...codes.map((code) => (named.has(code) ? `reached    ${code}  (${named.get(code)})`
    : `unreached  ${code}  ${explained.get(code) ?? '(not explained)'}`))];
  if (process.env.NUVRA_REASONS_REPORT) fs.writeFileSync(process.env.NUVRA_REASONS_REPORT, report.join('\n') + '\n');
  console.log(report[0]);
  assert.deepEqual(unreached.filter((code) => !explained.has(code)), [], 'codes no test names and nothing explains');
  assert.deepEqual([...explained.keys()].filter((code) => named.has(code)), [], 'explained codes a test now names');
  assert.deepEqual([...explained.keys()].filter((code) => !codes.includes(code)), [], 'explained codes the addon does not have');
});
