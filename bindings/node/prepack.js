'use strict';
// Runs before `npm pack`: puts the x64 and x86 Olvexlib.dll and Olvexkit.dll
// (and the repository's licence) into the package: the stripped Olvexlib.dll
// that ships and the kit beside it, from the win64 and win32 preset builds
// (or OLVEX_DLL_X64 / OLVEX_DLL_IA32 and OLVEX_KIT_X64 / OLVEX_KIT_IA32),
// refusing one of the wrong machine type.
const fs = require('fs');
const path = require('path');

const build = path.join(__dirname, '..', '..', 'build');
const from = (variable, preset, ...where) => process.env[variable] || path.join(build, preset, ...where);
const dlls = [
  { folder: 'win32-x64', name: 'Olvexlib.dll', from: from('OLVEX_DLL_X64', 'win64', 'src', 'dist', 'Olvexlib.dll'), machine: 0x8664 },
  { folder: 'win32-x64', name: 'Olvexkit.dll', from: from('OLVEX_KIT_X64', 'win64', 'bindings', 'native', 'Olvexkit.dll'), machine: 0x8664 },
  { folder: 'win32-ia32', name: 'Olvexlib.dll', from: from('OLVEX_DLL_IA32', 'win32', 'src', 'dist', 'Olvexlib.dll'), machine: 0x14c },
  { folder: 'win32-ia32', name: 'Olvexkit.dll', from: from('OLVEX_KIT_IA32', 'win32', 'bindings', 'native', 'Olvexkit.dll'), machine: 0x14c },
];

function machineOf(file) {
  const image = fs.readFileSync(file);
  const pe = image.readUInt32LE(0x3c);
  if (image.toString('latin1', pe, pe + 4) !== 'PE\0\0') return -1;
  return image.readUInt16LE(pe + 4);
}

for (const dll of dlls) {
  if (!fs.existsSync(dll.from)) {
    console.error(`prepack: ${dll.from} is missing: build both the win64 and the win32 preset first`);
    process.exit(1);
  }
  const machine = machineOf(dll.from);
  if (machine !== dll.machine) {
    console.error(`prepack: ${dll.from} is for machine 0x${machine.toString(16)}, not 0x${dll.machine.toString(16)}`);
    process.exit(1);
  }
  fs.mkdirSync(path.join(__dirname, dll.folder), { recursive: true });
  fs.copyFileSync(dll.from, path.join(__dirname, dll.folder, dll.name));
}

const licence = path.join(__dirname, '..', '..', 'LICENSE');
if (fs.existsSync(licence)) fs.copyFileSync(licence, path.join(__dirname, 'LICENSE'));
