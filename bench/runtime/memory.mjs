// Memory of a runtime: after startup, after `works` works begun and ended one
// after another, and after `children` managed child launches (in batches of
// four at a time, each under a work of its own), each child run to its exit
// and disposed.
import { startRuntime, measure, config, probeSelf, yieldTurn, spawnChild } from './common.mjs';

function sample() {
  const probe = probeSelf();
  return {
    ...probe,
    rss: process.memoryUsage().rss,
    // node reports the peak working set in KiB.
    maxRss: process.resourceUsage().maxRSS * 1024,
  };
}

async function runToExit(addon, id) {
  while (addon.poll(id).exit_code === undefined) await yieldTurn();
  await addon.dispose(id);
}

await measure(async () => {
  const { addon } = startRuntime();
  const started = sample();
  for (let i = 0; i < config.works; ++i) await addon.endWork(await addon.beginWork());
  const afterWorks = sample();
  const batch = 4;
  for (let launched = 0; launched < config.children; launched += batch) {
    const spawned = [];
    for (let i = 0; i < Math.min(batch, config.children - launched); ++i) {
      spawned.push(spawnChild(addon, config.broker, ['child', 'exit', '0']));
    }
    const ids = (await Promise.all(spawned)).map((child) => child.id);
    await Promise.all(ids.map((id) => runToExit(addon, id)));
  }
  const afterChildren = sample();
  return { started, afterWorks, afterChildren };
});
