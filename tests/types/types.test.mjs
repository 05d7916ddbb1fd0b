// The TypeScript declarations: they compile against a typed use of every
// function, they refuse a wrong argument type, and their word unions cannot
// drift from the addon's word sets, its thrown reasons or its function table.
// Run by the test command with the host's node (node --test).
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { spawnSync } from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

const here = path.dirname(fileURLToPath(import.meta.url));
const root = path.resolve(here, '../..');
const tsc = path.join(root, 'testbed/node_modules/typescript/bin/tsc');
const declarations = fs.readFileSync(path.join(root, 'types/index.d.ts'), 'utf8');

function compile(project) {
  return spawnSync(process.execPath, [tsc, '-p', path.join(here, project)],
    { encoding: 'utf8' });
}

// The quoted words of `export type NAME = ...;` in the declarations.
function unionWords(name) {
  const match = declarations.match(new RegExp(`export type ${name} =([^;]*);`));
  assert.ok(match, `no type ${name}`);
  return [...match[1].matchAll(/"([a-z0-9_]+)"/g)].map((m) => m[1]);
}

function sourceFiles(dir) {
  return fs.readdirSync(dir, { withFileTypes: true }).flatMap((entry) => {
    const full = path.join(dir, entry.name);
    if (entry.isDirectory()) return sourceFiles(full);
    return /\.(cc|h)$/.test(entry.name) ? [full] : [];
  });
}

test('the typed use of every function compiles', () => {
  const result = compile('tsconfig.json');
  assert.equal(result.status, 0, result.stdout + result.stderr);
});

test('a work id passed where a child id belongs does not compile', () => {
  const result = compile('tsconfig.wrong.json');
  assert.notEqual(result.status, 0);
  assert.match(result.stdout, /wrong_argument\.ts\(7,\d+\): error TS2345: Argument of type 'string' is not assignable to parameter of type 'number'/);
});

test('each word union holds exactly its word set of the addon', () => {
  const vocabulary = fs.readFileSync(path.join(root, 'src/common/vocabulary.cc'), 'utf8');
  const table = [
    { set: 'operationNames', type: 'OperationName', size: 13 },
    { set: 'evidenceStages', type: 'EvidenceStage', size: 32 },
    { set: 'terminalReasons', type: 'TerminalReason', size: 145 },
    { set: 'outcomeStates', type: 'OutcomeState', size: 27 },
  ];
  for (const { set, type, size } of table) {
    const literal = vocabulary.match(new RegExp(`const WordSet ${set}\\{\\{([^}]*)\\}\\};`));
    assert.ok(literal, `no word set ${set}`);
    const words = [...literal[1].matchAll(/"([a-z0-9_]+)"/g)].map((m) => m[1]).sort();
    assert.equal(words.length, size, set);
    assert.deepEqual(unionWords(type).sort(), words, `${type} against ${set}`);
  }
});

test('every reason the sources throw is a ReasonCode', () => {
  const reasons = new Set(unionWords('ReasonCode'));
  const thrown = new Set();
  for (const file of sourceFiles(path.join(root, 'src'))) {
    for (const m of fs.readFileSync(file, 'utf8').matchAll(/\bfail\("([a-z0-9_]+)"\)/g)) {
      thrown.add(m[1]);
    }
  }
  assert.ok(thrown.size > 100, `only ${thrown.size} thrown reasons found`);
  assert.deepEqual([...thrown].filter((reason) => !reasons.has(reason)).sort(), []);
});

test('the declared functions are the function table of the module, in its order', () => {
  const module = fs.readFileSync(path.join(root, 'src/module_napi.cc'), 'utf8');
  const tableText = module.match(/kFunctions\[\] = \{([\s\S]*?)\n\};/);
  assert.ok(tableText, 'no function table');
  const registered = [...tableText[1].matchAll(/\{"(\w+)", callFrame</g)].map((m) => m[1]);
  assert.equal(registered.length, 40);
  const declared = [...new Set([...declarations.matchAll(/^export function (\w+)\(/gm)]
    .map((m) => m[1]))];
  assert.deepEqual(declared, registered);
});
