#!/bin/sh
# consumer-test.sh BUILD_DIR SOURCE_DIR TOOLCHAIN KEYSIM_EXE
# Installs this build, builds the C example against the installed package with
# find_package, and runs it under Wine against a virtual key.
set -eu
build=$1 source=$2 toolchain=$3 keysim=$4
run="$source/cmake/wine-run"
work="$build/consumer"
rm -rf "$work"
cmake --install "$build" --prefix "$work/prefix" >/dev/null
cmake -S "$source/examples/c" -B "$work/build" -G Ninja --toolchain "$toolchain" \
  -DCMAKE_PREFIX_PATH="$work/prefix" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$work/build" >/dev/null
cp "$work/prefix/bin/Olvexlib.dll" "$work/build/"

# Set before plugging: whatever fails from here on, the key goes.
trap '"$run" "$keysim" unplug --serial consumer >/dev/null 2>&1 || true' EXIT
trap 'exit 1' INT TERM
"$run" "$keysim" plug --serial consumer --behaviour script --script 5A05000102039000 >/dev/null
out=$("$run" "$work/build/olvex_example.exe")
printf '%s\n' "$out"
printf '%s\n' "$out" | grep -q '^1 key(s) attached' || { echo "the key was not listed"; exit 1; }
printf '%s\n' "$out" | grep -q 'status 9000, 3 byte(s): 01 02 03' || { echo "wrong answer"; exit 1; }
echo "completed: C example built against the installed package, listed and exchanged with 1 key"
