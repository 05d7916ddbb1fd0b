// appendDiagnostic of one line: short lines and lines of the largest size,
// enough of them to rotate the day file several times; a call whose append found index 0 smaller afterwards crossed a
// rotation. Works are renewed well inside their one-second budget.
import { statSync } from 'node:fs';
import path from 'node:path';
import { startRuntime, measure, config } from './common.mjs';

function dayFile() {
  const day = new Date().toISOString().slice(0, 10).replaceAll('-', '');
  return path.win32.join(config.home, 'logs', `nuvra-${day}-0.jsonl`);
}

function sizeOf(file) {
  try {
    return statSync(file).size;
  } catch {
    return 0;
  }
}

// A JSON line of exactly `bytes` bytes including its newline.
function line(bytes, i) {
  const head = `{"bench":"append","i":${i},"pad":"`;
  return `${head}${'x'.repeat(bytes - head.length - 3)}"}\n`;
}

// Short and long appends alternate, so that both see the same machine.
async function series(addon, shortCount, longCount) {
  const short = { plain: [], rotating: [] };
  const long = { plain: [], rotating: [] };
  let work = null;
  let workStart = 0;
  const append = async (into, bytes, i) => {
    if (work === null || performance.now() - workStart > 400) {
      if (work !== null) await addon.endWork(work);
      workStart = performance.now();
      work = await addon.beginWork();
    }
    const text = line(bytes, i);
    const before = sizeOf(dayFile());
    const t0 = performance.now();
    await addon.appendDiagnostic(work, text);
    const ms = performance.now() - t0;
    (sizeOf(dayFile()) < before + text.length ? into.rotating : into.plain).push(ms);
  };
  for (let i = 0; i < Math.max(shortCount, longCount); ++i) {
    if (i < shortCount) await append(short, 160, i);
    if (i < longCount) await append(long, 4096, i);
  }
  if (work !== null) await addon.endWork(work);
  return { short, long };
}

await measure(async () => {
  const { addon } = startRuntime();
  await series(addon, 20, 20);
  return series(addon, config.count, config.rotationCount);
});
