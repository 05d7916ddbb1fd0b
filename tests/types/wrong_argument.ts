// Must not compile: a work id where a child id (a number) is expected. The
// test command requires tsc to refuse this file, so that the compile step is
// known to be able to fail.
import * as addon from "nuvra-profile-startup";

export function pollByWork(work: addon.WorkId): addon.PollResult {
  return addon.poll(work);
}
