#!/bin/sh
# consumer-test.sh BUILD_DIR SOURCE_DIR TOOLCHAIN KEYSIM_EXE
# Installs this build, builds the C example against the installed package with
# find_package, its DLLs put beside it by its own build and install, and runs
# the installed program under Wine against a virtual key.
set -eu
build=$1 source=$2 toolchain=$3 keysim=$4
run="$source/cmake/wine-run"
work="$build/consumer"
rm -rf "$work"
cmake --install "$build" --prefix "$work/prefix" >/dev/null
cmake -S "$source/examples/c" -B "$work/build" -G Ninja --toolchain "$toolchain" \
  -DCMAKE_PREFIX_PATH="$work/prefix" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$work/build" >"$work/build.log" 2>&1 || { cat "$work/build.log"; echo "FAILED: building the example"; exit 1; }
# The example's build puts the DLLs beside it, and its install beside the installed program.
[ -f "$work/build/Olvexlib.dll" ] || { echo "FAILED: the example's build left no Olvexlib.dll beside it"; exit 1; }
cmake --install "$work/build" --prefix "$work/app" >/dev/null
[ -f "$work/app/bin/Olvexlib.dll" ] || { echo "FAILED: the example's install left no Olvexlib.dll beside it"; exit 1; }
# Olvexkit too is an imported target of the package.
mkdir -p "$work/kit"
cat >"$work/kit/CMakeLists.txt" <<'KIT'
cmake_minimum_required(VERSION 3.21)
project(kit_consumer C)
find_package(Olvexlib CONFIG REQUIRED)
get_target_property(kit Olvexlib::Olvexkit IMPORTED_LOCATION_RELEASE)
if(NOT kit MATCHES "/bin/Olvexkit.dll$")
  message(FATAL_ERROR "Olvexlib::Olvexkit: ${kit}")
endif()
KIT
cmake -S "$work/kit" -B "$work/kit/build" -G Ninja --toolchain "$toolchain" -DCMAKE_PREFIX_PATH="$work/prefix" \
  >"$work/kit.log" 2>&1 || { cat "$work/kit.log"; echo "FAILED: no Olvexlib::Olvexkit in the package"; exit 1; }

# Set before plugging: whatever fails from here on, the key goes.
trap '"$run" "$keysim" unplug --serial consumer >/dev/null 2>&1 || true' EXIT
trap 'exit 1' INT TERM
"$run" "$keysim" plug --serial consumer --behaviour script --script 5A05000102039000 >/dev/null
out=$("$run" "$work/app/bin/olvex_example.exe")
printf '%s\n' "$out"
printf '%s\n' "$out" | grep -q '^1 key(s) attached' || { echo "the key was not listed"; exit 1; }
printf '%s\n' "$out" | grep -q 'status 9000, 3 byte(s): 01 02 03' || { echo "wrong answer"; exit 1; }
echo "completed: C example built against the installed package, listed and exchanged with 1 key"
