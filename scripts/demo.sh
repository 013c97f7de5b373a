#!/usr/bin/env bash
# Builds the library for both Windows architectures and shows what was built.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/bootstrap.sh
for arch in win32 win64; do
  cmake --preset "$arch" >/dev/null
  cmake --build --preset "$arch" --target Olvexlib >/dev/null
done
for arch in win32 win64; do
  case $arch in win32) tool=i686-w64-mingw32-objdump ;; *) tool=x86_64-w64-mingw32-objdump ;; esac
  dll=build/$arch/bin/Olvexlib.dll
  echo "$dll ($(stat -c %s "$dll") bytes)"
  sh cmake/check-dll.sh "$tool" "$dll" | sed 's/^/  /'
done
