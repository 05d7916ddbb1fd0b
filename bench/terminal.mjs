// A terminal operation's checkpoint and terminal record, and the whole
// operation around a work, against node's own durable append of a line.
export default async function terminal(bed, { count }) {
  const r = await bed.runtime('terminal', { count, warmup: 10 });
  const node = { name: 'node open "a" + write + fdatasync + close of a line as long', unit: 'ms',
    samples: r.nodeAppend };
  return [
    { name: 'prepareTerminal (checkpoint, kind 15) resolved', unit: 'ms', samples: r.prepare, peer: node },
    { name: 'commitTerminal (terminal record, kind 16) resolved', unit: 'ms', samples: r.commit, peer: node },
    { name: 'whole operation: event, operation, work, checkpoint, end, commit, close', unit: 'ms',
      samples: r.operation },
    node,
  ];
}
