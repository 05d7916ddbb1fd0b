// Startup: nothing but taking custody and acknowledging, timed from inside.
import { startRuntime, report, config } from './common.mjs';

const { startup } = startRuntime();
report({ ...startup, pid: process.pid, out: config.out });
