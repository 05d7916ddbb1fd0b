// The npm package as a Windows Node project receives it: the tarball's files,
// the shipped binaries without their debug information, and the installed
// package loading in node.exe with its 40 functions. testbed/pack makes the
// package first; NUVRA_PACKAGE_DIR is its output folder.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import zlib from 'node:zlib';
import { createRequire } from 'node:module';
import { readExports, readSections } from '../../testbed/lib/pe.mjs';

const packageDir = process.env.NUVRA_PACKAGE_DIR;
assert.ok(packageDir, 'NUVRA_PACKAGE_DIR is not set; run testbed/test');
const tarballs = fs.readdirSync(packageDir).filter((name) => name.endsWith('.tgz'));
const installed = path.join(packageDir, 'project', 'node_modules', 'nuvra-profile-startup');
const binaries = ['nuvra_profile_startup.node', 'nuvra_windows_broker_native.exe',
  'nuvra_install_home.exe'];

// The names of the regular files in a gzipped ustar archive.
function tarFiles(file) {
  const data = zlib.gunzipSync(fs.readFileSync(file));
  const field = (header, from, length) =>
    header.toString('latin1', from, from + length).replace(/\0[\s\S]*$/, '');
  const names = [];
  for (let at = 0; at + 512 <= data.length;) {
    const header = data.subarray(at, at + 512);
    if (header.every((byte) => byte === 0)) break;
    const name = field(header, 0, 100);
    const prefix = field(header, 345, 155);
    const size = parseInt(field(header, 124, 12).trim() || '0', 8);
    const type = header[156];
    if (type === 0x30 || type === 0) names.push(prefix ? `${prefix}/${name}` : name);
    at += 512 + Math.ceil(size / 512) * 512;
  }
  return names.sort();
}

test('the tarball holds the package and nothing else', () => {
  assert.equal(tarballs.length, 1);
  assert.deepEqual(tarFiles(path.join(packageDir, tarballs[0])), [
    'package/README.md',
    'package/index.js',
    'package/package.json',
    'package/prebuilds/win32-x64/nuvra_install_home.exe',
    'package/prebuilds/win32-x64/nuvra_profile_startup.node',
    'package/prebuilds/win32-x64/nuvra_windows_broker_native.exe',
    'package/types/index.d.ts',
  ]);
});

test('nothing of the test bed, the sources or the debug information is packed', () => {
  const files = tarFiles(path.join(packageDir, tarballs[0]));
  const never = [
    { what: 'debug information', pattern: /\.debug$|\.pdb$/ },
    { what: 'test bed, tests, benchmarks, build trees',
      pattern: /(^|\/)(testbed|tests|bench|build|node_modules)\// },
    { what: 'sources', pattern: /(^|\/)(src|tools|cmake)\/|\.(cc|h|cmake)$|CMakeLists/ },
    { what: 'test executables', pattern: /win_tests|host_tests|fuzz_/ },
    { what: 'scripts other than the entry', pattern: /\.(mjs|sh|py)$/ },
  ];
  for (const { what, pattern } of never) {
    assert.deepEqual(files.filter((file) => pattern.test(file)), [], what);
  }
});

test('package.json names the entry, the declarations, the platform and the files', () => {
  const manifest = JSON.parse(fs.readFileSync(path.join(installed, 'package.json'), 'utf8'));
  assert.equal(manifest.name, 'nuvra-profile-startup');
  assert.deepEqual(manifest.os, ['win32']);
  assert.deepEqual(manifest.cpu, ['x64']);
  for (const key of ['main', 'types']) {
    assert.ok(fs.statSync(path.join(installed, manifest[key])).isFile(), `${key} ${manifest[key]}`);
  }
});

test('the shipped binaries carry no debug information, only the link to it', () => {
  for (const name of binaries) {
    const shipped = readSections(path.join(installed, 'prebuilds', 'win32-x64', name));
    const kept = readSections(path.join(packageDir, 'debug', `${name}.debug`));
    assert.deepEqual(shipped.filter((s) => s.name.startsWith('.debug')), [], name);
    assert.ok(shipped.some((s) => s.name === '.gnu_debuglink'), `${name} has no debug link`);
    assert.ok(kept.some((s) => s.name === '.debug_info' && s.size > 0), `${name}.debug`);
    assert.ok(shipped.some((s) => s.name === '.text' && s.size > 0), `${name} has no code`);
  }
});

test('the installed package loads in node.exe and exposes the 40 functions', () => {
  const requireFromProject = createRequire(path.join(packageDir, 'project', 'package.json'));
  const addon = requireFromProject('nuvra-profile-startup');
  const functions = Object.getOwnPropertyNames(addon).filter((n) => typeof addon[n] === 'function');
  const declarations = fs.readFileSync(path.join(installed, 'types', 'index.d.ts'), 'utf8');
  const declared = new Set([...declarations.matchAll(/^export function (\w+)\(/gm)].map((m) => m[1]));
  assert.equal(functions.length, 40);
  assert.deepEqual(functions, [...declared]);
  // The call frame answers: without a startup handoff there is no custody.
  assert.throws(() => addon.initialize(), { message: 'profile_custody_required' });
  const dll = path.join(installed, 'prebuilds', 'win32-x64', 'nuvra_profile_startup.node');
  assert.deepEqual([...readExports(dll).keys()].sort(),
    ['napi_register_module_v1', 'node_api_module_get_api_version_v1']);
});
