#!/usr/bin/env bash
# The whole test suite: native core tests under sanitizers, both Windows
# builds, and the Windows tests under Wine against virtual keys.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/bootstrap.sh

step() { printf '\n== %s\n' "$*"; }

step "native core (ASan+UBSan)"
cmake --preset host >/dev/null
cmake --build --preset host
ctest --preset host

step "fuzz smoke (clang, libFuzzer)"
cmake -S . -B build/fuzz-smoke -G Ninja -DCMAKE_BUILD_TYPE=Debug \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build build/fuzz-smoke --target response_fuzz command_fuzz
ctest --test-dir build/fuzz-smoke -L fuzz --output-on-failure

for arch in win32 win64; do
  step "$arch build and tests"
  cmake --preset "$arch" >/dev/null
  cmake --build --preset "$arch"
  if [ "$arch" = win32 ] && ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
    echo "NOTE: this kernel cannot execute 32-bit programs, so the 32-bit build gets its"
    echo "      static checks only; the Wine tests run against the 64-bit build below."
  fi
  ctest --preset "$arch"
done
