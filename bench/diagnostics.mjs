// appendDiagnostic of one line, and a run of the largest lines that crosses
// rotations of the day file.
export default async function diagnostics(bed, { count, rotationCount }) {
  const r = await bed.runtime('diagnostics', { count, rotationCount });
  const short = { name: 'appendDiagnostic, one 160-byte line', unit: 'ms', samples: r.short.plain };
  const rows = [
    short,
    { name: 'appendDiagnostic, one 4096-byte line', unit: 'ms', samples: r.long.plain, peer: short },
    { name: 'appendDiagnostic, 4096-byte line crossing a rotation', unit: 'ms', samples: r.long.rotating,
      peer: short },
  ];
  if (r.short.rotating.length) {
    rows.push({ name: 'appendDiagnostic, 160-byte line crossing a rotation', unit: 'ms',
      samples: r.short.rotating, peer: short });
  }
  return rows;
}
