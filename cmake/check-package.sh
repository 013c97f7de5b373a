#!/bin/sh
# check-package.sh BUILD_DIR: cpack makes the ZIP, and it holds what a Windows
# developer needs.
set -eu
build=$(cd "$1" && pwd)
out="$build/package"
rm -rf "$out"
(cd "$build" && cpack -G ZIP -B "$out" >/dev/null)
zip=$(ls "$out"/*.zip)
listing=$(cmake -E tar tf "$zip")
for want in bin/Olvexlib.dll bin/olvex.exe include/olvexlib.h include/olvexlib.def \
            lib/libOlvexlib.dll.a lib/Olvexlib.lib lib/cmake/Olvexlib/OlvexlibConfig.cmake \
            README.md LICENSE; do
  printf '%s\n' "$listing" | grep -q "/$want\$" || { echo "$zip lacks $want"; exit 1; }
done
echo "$zip"
