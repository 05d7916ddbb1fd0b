// What the addon is and does, shown on the real build in the Windows node.exe.
import { createRequire } from 'node:module';
import { declaredNodeApiVersion, readExports } from './lib/pe.mjs';

const addonPath = process.env.NUVRA_ADDON;
const addon = createRequire(import.meta.url)(addonPath);

console.log(`addon:            ${addonPath}`);
console.log(`runtime:          node ${process.version} (${process.platform}, Node-API ${process.versions.napi})`);
console.log(`built for:        Node-API ${declaredNodeApiVersion(addonPath)}`);
console.log(`exports:          ${[...readExports(addonPath).keys()].join(', ')}`);
console.log(`functions (${Reflect.ownKeys(addon).length}):`);
for (const name of Reflect.ownKeys(addon)) console.log(`  ${name}`);
