#!/bin/sh
# check-reproducible.sh SOURCE_DIR TOOLCHAIN SCRATCH_DIR [BUILD_TYPE]
# Builds the library and its import libraries twice, from the sources as they
# are and from a copy of them elsewhere, each in a build folder of its own with
# a name of a different length, and requires the same bytes from both.
set -eu
source=$(cd "$1" && pwd) toolchain=$2 scratch=$3 type=${4:-}
rm -rf "$scratch"
mkdir -p "$scratch/a" "$scratch/copy/of/the-sources"
copy="$scratch/copy/of/the-sources"
(cd "$source" && tar --exclude=./build --exclude=./.git -cf - .) | (cd "$copy" && tar -xf -)

build() { # SOURCE BUILD
  cmake -S "$1" -B "$2" -G Ninja --toolchain "$toolchain" -DCMAKE_BUILD_TYPE="$type" >/dev/null
  cmake --build "$2" --target Olvexlib olvexlib_msvc_implib >/dev/null
}
build "$source" "$scratch/a"
build "$copy" "$copy/build/elsewhere"

files="bin/Olvexlib.dll src/libOlvexlib.dll.a src/Olvexlib.lib src/dist/Olvexlib.dll src/dist/Olvexlib.dll.debug"
for f in $files; do
  a="$scratch/a/$f" b="$copy/build/elsewhere/$f"
  [ -f "$a" ] && [ -f "$b" ] || { echo "$f was not built"; exit 1; }
  if ! cmp -s "$a" "$b"; then
    echo "$f differs between $scratch/a and $copy/build/elsewhere (offset, octal bytes):"
    cmp -l "$a" "$b" | head -5
    exit 1
  fi
done
rm -rf "$scratch"
echo "completed: reproducible build, $(echo $files | wc -w) files identical across two source and build folders"
