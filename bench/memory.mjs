// Peak working set of a runtime after 1000 works and 1000 child launches,
// against the same runtime right after its startup.
export default async function memory(bed, { works, children, repeat }) {
  const rows = {
    started: { name: 'peak working set after startup', unit: 'MiB', samples: [] },
    afterWorks: { name: `peak working set after ${works} works`, unit: 'MiB', samples: [] },
    afterChildren: { name: `peak working set after ${works} works and ${children} child launches`, unit: 'MiB', samples: [] },
    workingSet: { name: `working set after ${works} works and ${children} child launches`, unit: 'MiB', samples: [] },
    handles: { name: 'handles after startup', unit: 'count', samples: [] },
    handlesAfter: { name: `handles after ${works} works and ${children} child launches`, unit: 'count', samples: [] },
  };
  rows.afterWorks.peer = rows.started;
  rows.afterChildren.peer = rows.started;
  rows.handlesAfter.peer = rows.handles;
  const mib = (bytes) => bytes / 2 ** 20;
  // The probe's peak working set when it answered; node's own otherwise.
  const peak = (s) => mib(s.peakWorkingSet ?? s.maxRss);
  for (let i = 0; i < repeat; ++i) {
    const r = await bed.runtime('memory', { works, children });
    rows.started.samples.push(peak(r.started));
    rows.afterWorks.samples.push(peak(r.afterWorks));
    rows.afterChildren.samples.push(peak(r.afterChildren));
    rows.workingSet.samples.push(mib(r.afterChildren.workingSet ?? r.afterChildren.rss));
    if (r.started.handles !== null) {
      rows.handles.samples.push(r.started.handles);
      rows.handlesAfter.samples.push(r.afterChildren.handles);
    }
  }
  return Object.values(rows).filter((row) => row.samples.length);
}
