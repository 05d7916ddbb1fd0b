// The home's turns: at most the given number of client operations at once,
// the others granted in order of arrival as turns end, also when a holder
// dies; without a resident a client goes without a turn.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import crypto from 'node:crypto';
import { serveTurns, takeTurn } from '../../product/admission.mjs';

const freshHome = () => `C:\\homes\\turns-${crypto.randomUUID()}`;

test('turns are granted up to the limit, then in order as they end', async () => {
  const home = freshHome();
  const gate = serveTurns(home, 2);
  try {
    const first = await takeTurn(home);
    const second = await takeTurn(home);
    assert.deepEqual([first.granted, second.granted], [true, true]);
    // Both turns are held: the resident answers a third only when one ends.
    assert.equal((await takeTurn(home, 200)).granted, false);
    const granted = [];
    const third = takeTurn(home).then((turn) => { granted.push('third'); return turn; });
    const fourth = takeTurn(home).then((turn) => { granted.push('fourth'); return turn; });
    first.end();
    assert.equal((await third).granted, true);
    assert.deepEqual(granted, ['third']);
    second.end();
    assert.equal((await fourth).granted, true);
    (await third).end();
    (await fourth).end();
  } finally {
    gate.close();
  }
});

test('a holder that dies gives its turn back', async () => {
  const home = freshHome();
  const gate = serveTurns(home, 1);
  try {
    const holder = spawn(process.execPath, ['--input-type=module', '-e', `
      import { takeTurn } from ${JSON.stringify(new URL('../../product/admission.mjs', import.meta.url).href)};
      const turn = await takeTurn(${JSON.stringify(home)});
      console.log(turn.granted);
      setInterval(() => {}, 1000);`], { stdio: ['ignore', 'pipe', 'inherit'] });
    const said = await new Promise((resolve) => holder.stdout.once('data', (d) => resolve(String(d).trim())));
    assert.equal(said, 'true');
    const waiting = takeTurn(home);
    holder.kill();
    assert.equal((await waiting).granted, true);
    (await waiting).end();
  } finally {
    gate.close();
  }
});

test('without a resident a client goes without a turn, at once', async () => {
  const turn = await takeTurn(freshHome(), 60_000);
  assert.equal(turn.granted, false);
  turn.end();
});
