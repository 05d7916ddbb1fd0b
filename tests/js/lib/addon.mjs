// Loads the built addon of a flavour into this runtime.
import { createRequire } from 'node:module';

const require = createRequire(import.meta.url);

export const addonPath = {
  testbed: process.env.NUVRA_ADDON_TESTBED,
  release: process.env.NUVRA_ADDON_RELEASE,
};

export function loadAddon(flavour = 'testbed') {
  const path = addonPath[flavour];
  if (!path) throw new Error(`NUVRA_ADDON_${flavour.toUpperCase()} is not set; run testbed/test`);
  return require(path);
}

// Calls fn and returns the message of the Error it throws.
export function thrownMessage(fn) {
  try {
    fn();
  } catch (error) {
    return error.message;
  }
  return undefined;
}
