#!/bin/sh
# check-package.sh BUILD_DIR OBJDUMP: cpack makes the ZIP, and it holds what a
# Windows developer needs, with the DLL stripped and its debug file beside it,
# and the tracer with its dissector.
set -eu
build=$(cd "$1" && pwd) objdump=$2
out="$build/package"
rm -rf "$out"
(cd "$build" && cpack -G ZIP -B "$out" >/dev/null)
zip=$(ls "$out"/*.zip)
listing=$(cmake -E tar tf "$zip")
for want in bin/Olvexlib.dll bin/Olvexlib.dll.debug bin/Olvexkit.dll bin/olvex.exe bin/keysim.exe bin/Olvexlib.Net.dll include/olvexlib.h include/olvexlib.hpp include/olvex/connection.hpp include/olvexkit.h include/olvexlib.def \
            lib/libOlvexlib.dll.a lib/Olvexlib.lib lib/cmake/Olvexlib/OlvexlibConfig.cmake \
            README.md LICENSE; do
  printf '%s\n' "$listing" | grep -q "/$want\$" || { echo "$zip lacks $want"; exit 1; }
done
mkdir "$out/unpacked"
(cd "$out/unpacked" && cmake -E tar xf "$zip")
bin=$(ls -d "$out"/unpacked/*/bin)
sh "$(dirname "$0")/check-dll.sh" "$objdump" "$bin/Olvexlib.dll" "$bin/Olvexlib.dll.debug"
# The tracer and its dissector: the tracer exports and imports as the library
# does, and carries the library's version numbers.
for want in bin/trace/Olvexlib.dll share/olvexlib/olvex.lua; do
  printf '%s\n' "$listing" | grep -q "/$want\$" || { echo "$zip lacks $want"; exit 1; }
done
sh "$(dirname "$0")/check-dll.sh" "$objdump" "$bin/trace/Olvexlib.dll"
version() { "${objdump%objdump}windres" -i "$1" -O rc | grep -v '"FileDescription"'; }
tracer=$(version "$bin/trace/Olvexlib.dll") library=$(version "$bin/Olvexlib.dll")
case "$library" in *FILEVERSION*) ;; *) echo "cannot read the library's version resource"; exit 1 ;; esac
[ "$tracer" = "$library" ] ||
  { echo "bin/trace/Olvexlib.dll does not carry the library's version resource"; exit 1; }
echo "completed: $zip"
