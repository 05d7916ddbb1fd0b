// Order statistics of repeated measurements and the report table.
//
// A benchmark row is { name, unit, samples, peer? } where peer is the row it
// is compared with (measured in the same run); the ratio printed is
// median(row) / median(peer).

// The q-quantile of sorted values, linear between neighbours.
export function quantile(sorted, q) {
  if (sorted.length === 0) return NaN;
  const at = (sorted.length - 1) * q;
  const low = Math.floor(at);
  const high = Math.ceil(at);
  return sorted[low] + (sorted[high] - sorted[low]) * (at - low);
}

export function summarize(samples) {
  const sorted = [...samples].sort((a, b) => a - b);
  return {
    n: sorted.length,
    median: quantile(sorted, 0.5),
    p10: quantile(sorted, 0.1),
    p90: quantile(sorted, 0.9),
    min: sorted[0] ?? NaN,
    max: sorted[sorted.length - 1] ?? NaN,
  };
}

function figure(value) {
  if (!Number.isFinite(value)) return '-';
  const magnitude = Math.abs(value);
  if (magnitude >= 100) return value.toFixed(0);
  if (magnitude >= 10) return value.toFixed(1);
  return value.toFixed(2);
}

// One line per row: name, median, p10, p90, min, max, n, ratio to the peer.
export function formatTable(rows) {
  const header = ['benchmark', 'unit', 'median', 'p10', 'p90', 'min', 'max', 'n', 'vs peer'];
  const lines = [header];
  for (const row of rows) {
    const s = summarize(row.samples);
    const ratio = row.peer ? `${figure(s.median / summarize(row.peer.samples).median)}x ${row.peer.name}` : (row.detail ?? '');
    lines.push([row.name, row.unit, figure(s.median), figure(s.p10), figure(s.p90), figure(s.min),
      figure(s.max), String(s.n), ratio]);
  }
  const widths = header.map((_, i) => Math.max(...lines.map((l) => l[i].length)));
  return lines.map((l) => l.map((cell, i) => (i < 2 || i === 8 ? cell.padEnd(widths[i]) : cell.padStart(widths[i])))
    .join('  ').trimEnd()).join('\n');
}

// The JSON form kept beside the table, summaries with the raw samples.
export function rowsAsJson(rows) {
  return rows.map((row) => ({
    name: row.name, unit: row.unit, ...summarize(row.samples),
    peer: row.peer?.name ?? null,
    ratio: row.peer ? summarize(row.samples).median / summarize(row.peer.samples).median : null,
    samples: row.samples,
  }));
}
