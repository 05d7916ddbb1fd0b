// A work's round trip, beginWork to endWork resolved.
export default async function works(bed, { count }) {
  const r = await bed.runtime('works', { count, warmup: 20 });
  const node = { name: 'node fs.promises open + close of the work marker', unit: 'ms', samples: r.nodeOpenClose };
  return [
    { name: 'beginWork to endWork resolved', unit: 'ms', samples: r.roundTrip, peer: node },
    { name: 'beginWork resolved', unit: 'ms', samples: r.begin },
    { name: 'endWork resolved', unit: 'ms', samples: r.end },
    node,
  ];
}
