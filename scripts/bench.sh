#!/usr/bin/env bash
# Benchmarks, kept apart from the tests: OLVEX_DoCommand against a hand-written
# exchange on the same virtual key, OLVEX_EnumDEV per attached key, and the
# .NET and Node.js bindings' exchange rate against the C call's; the tracer
# (bin/trace/Olvexlib.dll) tracing against the library, and replay against keysim.
# Usage: scripts/bench.sh [rounds]
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/bootstrap.sh
cmake --preset win64 >/dev/null
cmake --build --preset win64 --target exchange_bench >/dev/null
cmake --build --preset win64 --target trace_bench >/dev/null
prefix=$PWD/build/win64/bench-prefix
trap 'cmake/wine-prefix stop "$prefix"' EXIT
cmake/wine-prefix start "$prefix"
WINEPREFIX=$prefix cmake/wine-run build/win64/bin/exchange_bench.exe "$@"
echo
WINEPREFIX=$prefix cmake/wine-run build/win64/bin/trace_bench.exe "$@"
cmake/wine-prefix stop "$prefix"
echo
bash bench/bindings-bench.sh
