// The Windows calls of each step: every kernel call under Wine is a request
// to its server, which testbed/bench traces when "calls" is run alone. This
// part runs the steps between their markers, with a resident published for
// the captures; testbed/bench counts the trace once the server has ended
// (bench/lib/server_trace.mjs). The figures do not depend on the machine's load.
import { whileServing } from '../tests/js/lib/serving.mjs';

export default async function calls(bed, { count }) {
  if (!process.env.NUVRA_BENCH_SERVER_TRACE) throw new Error('calls needs the server trace: run "testbed/bench calls" alone');
  await whileServing(bed.home, () => bed.runtime('calls', { count, warmup: 3, marks: bed.home.scratch, serving: true }));
  return [];
}
