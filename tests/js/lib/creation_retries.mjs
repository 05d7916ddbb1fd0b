// Process creations the addon tried again. A launch whose CreateProcessW
// fails tries it again a few times, and each retry leaves one
// "..._createprocess_retry" line in the process's startup trace (from a
// budget of its own, so hundreds of launches cannot crowd them out). A
// runtime that launches children calls traceCreations() first, which turns
// its trace on, and reads the count from what it returns at the end. The
// suites that retry launches fail when native and test retries together
// exceed MAX_RETRIES: creation failures that keep being papered over are a
// fault to see, not noise to absorb.
import fs from 'node:fs';
import { randomBytes } from 'node:crypto';

export const MAX_RETRIES = 3;

const traceDirectory = 'C:\\Tevra\\ona\\temp\\st24data\\trace';

export function traceCreations() {
  fs.mkdirSync(traceDirectory, { recursive: true });
  const attempt = randomBytes(16).toString('hex');
  process.env.NUVRA_STARTUP_ATTEMPT = attempt;
  const file = `${traceDirectory}\\${attempt}-${process.pid}-native.jsonl`;
  return {
    attempt,
    // Native retries so far, by the kind of child.
    retries: () => {
      const lines = fs.existsSync(file) ? fs.readFileSync(file, 'utf8').split('\n') : [];
      return lines.filter((line) => /"stage":"(managed|account)_createprocess_retry"/.test(line)).length;
    },
  };
}
