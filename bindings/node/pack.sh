#!/bin/sh
# pack.sh OUT_DIR: the npm package in OUT_DIR (prints the .tgz's path), packed
# from a copy of this folder so that the DLLs prepack adds stay out of the
# source tree. The DLLs: OLVEX_DLL_X64 and OLVEX_DLL_IA32 (Olvexlib.dll),
# OLVEX_KIT_X64 and OLVEX_KIT_IA32 (Olvexkit.dll), by default the win64 and
# win32 preset builds (the stripped Olvexlib.dll that ships).
set -eu
here=$(cd "$(dirname "$0")" && pwd)
out=$1
mkdir -p "$out"
out=$(cd "$out" && pwd)
build=$(cd "$here/../.." && pwd)/build
export OLVEX_DLL_X64="${OLVEX_DLL_X64:-$build/win64/src/dist/Olvexlib.dll}"
export OLVEX_DLL_IA32="${OLVEX_DLL_IA32:-$build/win32/src/dist/Olvexlib.dll}"
export OLVEX_KIT_X64="${OLVEX_KIT_X64:-$build/win64/bindings/native/Olvexkit.dll}"
export OLVEX_KIT_IA32="${OLVEX_KIT_IA32:-$build/win32/bindings/native/Olvexkit.dll}"
rm -rf "$out/stage" "$out"/olvexlib-*.tgz
mkdir -p "$out/stage"
cp "$here/package.json" "$here/index.js" "$here/index.d.ts" "$here/prepack.js" "$here/README.md" \
   "$here/../../LICENSE" "$out/stage/"
(cd "$out/stage" && npm pack --silent --pack-destination "$out" </dev/null >/dev/null)
ls "$out"/olvexlib-*.tgz
