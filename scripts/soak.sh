#!/usr/bin/env bash
# A long soak of the DLL under Wine, in a prefix of its own:
#   scripts/soak.sh [SECONDS] [soak options]   (default 600 s; see soak --help)
# Exits with the soak's status: 0 when every check held.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-600}
case $seconds in '' | *[!0-9]*) echo "usage: scripts/soak.sh [SECONDS] [soak options]" >&2; exit 2 ;; esac
shift $(( $# > 0 ? 1 : 0 ))
bash scripts/bootstrap.sh

# The 64-bit build: it runs on kernels without 32-bit support too.
build=build/soak
cmake -S . -B "$build" -G Ninja --toolchain cmake/mingw-x86_64.cmake -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" --target soak >/dev/null

prefix=$PWD/$build/wineprefix
trap 'cmake/wine-prefix stop "$prefix"' EXIT
cmake/wine-prefix start "$prefix"
WINEPREFIX=$prefix cmake/wine-run "$build/bin/soak.exe" --seconds "$seconds" "$@"
