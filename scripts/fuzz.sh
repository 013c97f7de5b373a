#!/usr/bin/env bash
# Time-boxed fuzzing of the parsing the DLL applies to bytes from the key:
#   scripts/fuzz.sh [SECONDS]   (default 60, shared between the targets)
# Builds natively with clang in build/fuzz. Inputs that add coverage collect
# in build/fuzz/found/<target>; a crashing input is kept as
# build/fuzz/crashes/<target>-crash-* and the script fails.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
case $seconds in '' | *[!0-9]*) echo "usage: scripts/fuzz.sh [SECONDS]" >&2; exit 2 ;; esac
bash scripts/bootstrap.sh

root=$PWD
build=$root/build/fuzz
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build "$build" --target response_fuzz command_fuzz >/dev/null

targets=(response command)
each=$(( seconds / ${#targets[@]} ))
[ "$each" -ge 1 ] || each=1
status=0
for t in "${targets[@]}"; do
  mkdir -p "$build/found/$t" "$build/crashes"
  echo "== ${t}_fuzz for ${each}s"
  log=$build/$t.log
  if "$build/tests/fuzz/${t}_fuzz" -max_total_time="$each" -max_len=1024 -print_final_stats=1 \
       -artifact_prefix="$build/crashes/$t-" "$build/found/$t" "$root/tests/fuzz/corpus/$t" >"$log" 2>&1; then
    grep -E '^(stat::number_of_executed_units|stat::average_exec_per_sec|stat::new_units_added)|DONE' "$log" | sed 's/^/  /'
  else
    status=1
    echo "  FAILED: see $log" >&2
    grep -E 'ERROR|SUMMARY|Test unit written' "$log" | sed 's/^/  /' >&2
  fi
done
exit $status
