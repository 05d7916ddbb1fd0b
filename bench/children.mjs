// Managed children: spawnAsync to exit of a trivial broker child, and bytes
// per second drained through poll, each against node's child_process.
export default async function children(bed, { count, floodRuns, floodBytes }) {
  const r = await bed.runtime('children', { count, floodRuns, floodBytes });
  const mib = floodBytes / 2 ** 20;
  const rate = (ms) => mib / (ms / 1000);
  const spawnNode = { name: 'node child_process spawn to exit, broker "child exit 0"', unit: 'ms', samples: r.spawnNode };
  const floodNode = { name: `node child_process drain of ${mib} MiB`, unit: 'MiB/s', samples: r.floodNode.map(rate) };
  return [
    { name: 'spawnAsync to exit, broker "child exit 0"', unit: 'ms', samples: r.spawnManaged, peer: spawnNode },
    spawnNode,
    { name: `poll drain of ${mib} MiB`, unit: 'MiB/s', samples: r.floodManaged.map(rate), peer: floodNode },
    floodNode,
  ];
}
