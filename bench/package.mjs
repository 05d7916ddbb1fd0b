// What `require` of the addon costs with and without its debug information:
// the release DLL as built against the one testbed/pack ships. A DLL is
// loaded once per path, so every sample requires a fresh copy under its own
// name; the two kinds alternate so that both see the same load. The copies
// were just written, so the file is read from the page cache: the time is
// mapping, relocation and registration, not the disk.
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { createRequire } from 'node:module';

const MiB = 2 ** 20;

export default async function packageLoad(_bed, { count }) {
  const built = process.env.NUVRA_ADDON_RELEASE;
  const shipped = process.env.NUVRA_PACKAGE_DIR &&
    path.win32.join(process.env.NUVRA_PACKAGE_DIR, 'stage', 'prebuilds', 'win32-x64',
      'nuvra_profile_startup.node');
  if (!shipped || !fs.existsSync(shipped)) {
    return [{ name: 'require of the shipped addon', waiting: 'no package: run testbed/pack' }];
  }
  const kinds = [
    { label: 'shipped (debug information stripped)', file: shipped, ms: [], rss: [] },
    { label: 'as built (with debug information)', file: built, ms: [], rss: [] },
  ];
  // Loaded DLLs cannot be deleted while the process lives, so the copies go
  // to the results folder, which the next run of testbed/bench clears.
  const results = process.env.NUVRA_BENCH_RESULTS ?? os.tmpdir();
  const dir = fs.mkdtempSync(path.win32.join(results, 'require-'));
  const load = createRequire(path.win32.join(dir, 'bench.js'));
  // One unmeasured load of each first: node's own first-addon costs.
  for (let i = -1; i < count; i += 1) {
    for (const kind of kinds) {
      const copy = path.win32.join(dir, `${kind.label.split(' ')[0]}-${i + 1}.node`);
      fs.copyFileSync(kind.file, copy);
      const before = process.memoryUsage().rss;
      const t0 = performance.now();
      const addon = load(copy);
      const ms = performance.now() - t0;
      if (typeof addon.initialize !== 'function') throw new Error(`${copy} did not load`);
      if (i < 0) continue;
      kind.ms.push(ms);
      kind.rss.push((process.memoryUsage().rss - before) / MiB);
    }
  }
  const [small, large] = kinds;
  const timeLarge = { name: `require, ${large.label}`, unit: 'ms', samples: large.ms };
  const rssLarge = { name: `resident set growth, ${large.label}`, unit: 'MiB', samples: large.rss };
  const size = (file) => [fs.statSync(file).size / MiB];
  const sizeLarge = { name: `file size, ${large.label}`, unit: 'MiB', samples: size(large.file) };
  return [
    { name: `require, ${small.label}`, unit: 'ms', samples: small.ms, peer: timeLarge },
    timeLarge,
    { name: `resident set growth, ${small.label}`, unit: 'MiB', samples: small.rss, peer: rssLarge },
    rssLarge,
    { name: `file size, ${small.label}`, unit: 'MiB', samples: size(small.file), peer: sizeLarge },
    sizeLarge,
  ];
}
