// Reads what a PE32+ image exports and imports, straight from the file.
import { readFileSync } from 'node:fs';

function openImage(path) {
  const image = readFileSync(path);
  const pe = image.readUInt32LE(0x3c);
  if (image.toString('latin1', pe, pe + 4) !== 'PE\0\0') throw new Error(`${path}: not a PE image`);
  const optional = pe + 24;
  if (image.readUInt16LE(optional) !== 0x20b) throw new Error(`${path}: not PE32+`);
  const sectionTable = optional + image.readUInt16LE(pe + 20);
  const sections = [];
  for (let i = 0; i < image.readUInt16LE(pe + 6); i++) {
    const at = sectionTable + i * 40;
    sections.push({
      start: image.readUInt32LE(at + 12),
      size: Math.max(image.readUInt32LE(at + 8), image.readUInt32LE(at + 16)),
      raw: image.readUInt32LE(at + 20),
    });
  }
  const offsetOf = (rva) => {
    const s = sections.find((x) => rva >= x.start && rva < x.start + x.size);
    if (!s) throw new Error(`${path}: RVA ${rva} outside every section`);
    return rva - s.start + s.raw;
  };
  const cString = (at) => image.toString('latin1', at, image.indexOf(0, at));
  // Data directories: 0 exports, 1 imports.
  const directory = (index) => image.readUInt32LE(optional + 112 + 8 * index);
  return { image, offsetOf, cString, directory };
}

// Map from export name to the first 16 bytes of its code.
export function readExports(path) {
  const { image, offsetOf, cString, directory } = openImage(path);
  const result = new Map();
  if (directory(0) === 0) return result;
  const dir = offsetOf(directory(0));
  const functions = offsetOf(image.readUInt32LE(dir + 28));
  const names = offsetOf(image.readUInt32LE(dir + 32));
  const ordinals = offsetOf(image.readUInt32LE(dir + 36));
  for (let i = 0; i < image.readUInt32LE(dir + 24); i++) {
    const name = cString(offsetOf(image.readUInt32LE(names + 4 * i)));
    const code = offsetOf(image.readUInt32LE(functions + 4 * image.readUInt16LE(ordinals + 2 * i)));
    result.set(name, image.subarray(code, code + 16));
  }
  return result;
}

// Names of the DLLs the image imports from.
export function readImports(path) {
  const { image, offsetOf, cString, directory } = openImage(path);
  const names = [];
  for (let at = offsetOf(directory(1)); image.readUInt32LE(at + 12) !== 0; at += 20) {
    names.push(cString(offsetOf(image.readUInt32LE(at + 12))));
  }
  return names;
}

// The version an addon declares: its node_api_module_get_api_version_v1
// compiles to "mov eax, imm32; ret".
export function declaredNodeApiVersion(path) {
  const code = readExports(path).get('node_api_module_get_api_version_v1');
  if (!code || code[0] !== 0xb8 || code[5] !== 0xc3) throw new Error('unexpected version function');
  return code.readUInt32LE(1);
}

// Section names with their raw sizes. Names longer than eight bytes (the
// ".debug_*" family) are stored as "/N", an offset into the COFF string table
// that follows the symbol table.
export function readSections(path) {
  const image = readFileSync(path);
  const pe = image.readUInt32LE(0x3c);
  const strings = image.readUInt32LE(pe + 12) + 18 * image.readUInt32LE(pe + 16);
  const table = pe + 24 + image.readUInt16LE(pe + 20);
  const sections = [];
  for (let i = 0; i < image.readUInt16LE(pe + 6); i++) {
    const at = table + i * 40;
    let name = image.toString('latin1', at, at + 8).replace(/\0.*$/s, '');
    if (name.startsWith('/')) {
      const from = strings + Number(name.slice(1));
      name = image.toString('latin1', from, image.indexOf(0, from));
    }
    sections.push({ name, size: image.readUInt32LE(at + 16) });
  }
  return sections;
}
