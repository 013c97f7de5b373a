#!/bin/sh
# check-package.sh BUILD_DIR OBJDUMP: cpack makes the ZIP, and it holds what a
# Windows developer needs, with the DLL stripped and its debug file beside it.
set -eu
build=$(cd "$1" && pwd) objdump=$2
out="$build/package"
rm -rf "$out"
(cd "$build" && cpack -G ZIP -B "$out" >/dev/null)
zip=$(ls "$out"/*.zip)
listing=$(cmake -E tar tf "$zip")
for want in bin/Olvexlib.dll bin/Olvexlib.dll.debug bin/Olvexkit.dll bin/olvex.exe bin/Olvexlib.Net.dll include/olvexlib.h include/olvexlib.hpp include/olvex/connection.hpp include/olvexkit.h include/olvexlib.def \
            lib/libOlvexlib.dll.a lib/Olvexlib.lib lib/cmake/Olvexlib/OlvexlibConfig.cmake \
            README.md LICENSE; do
  printf '%s\n' "$listing" | grep -q "/$want\$" || { echo "$zip lacks $want"; exit 1; }
done
mkdir "$out/unpacked"
(cd "$out/unpacked" && cmake -E tar xf "$zip")
bin=$(ls -d "$out"/unpacked/*/bin)
sh "$(dirname "$0")/check-dll.sh" "$objdump" "$bin/Olvexlib.dll" "$bin/Olvexlib.dll.debug"
echo "completed: $zip"
