#!/bin/sh
# transparency-test.sh BIN SOURCE WORK
# The transparency table (transparency.txt) through the real library, then
# through the tracer found first beside a copy of the same program: not
# tracing, tracing, with a trace it cannot open, loading the library that
# OLVEX_LIBRARY names, and replaying the trace with no key. Every run must
# print the same lines, each row as the table expects.
set -eu
bin=$1 source=$2 work=$3
run="$source/cmake/wine-run"
table="Z:$source/tools/trace/tests/transparency.txt"
rm -rf "$work"
mkdir -p "$work/bin/trace" "$work/elsewhere"
cp "$bin/Olvexlib.dll" "$work/bin/"
cp "$bin/trace/Olvexlib.dll" "$bin/trace_probe.exe" "$work/bin/trace/"
cp "$bin/trace/Olvexlib.dll" "$bin/trace_probe.exe" "$work/elsewhere/"
fail() { echo "FAILED: $*"; exit 1; }

probe() {  # NAME PROGRAM [VARIABLE=VALUE...]
  name=$1 program=$2
  shift 2
  env "$@" "$run" "$program" rows "$table" >"$work/$name" 2>"$work/$name.err" || { cat "$work/$name"; fail "$name"; }
}
probe real "$bin/trace_probe.exe"
cat "$work/real"
probe off "$work/bin/trace/trace_probe.exe"
probe tracing "$work/bin/trace/trace_probe.exe" OLVEX_TRACE="Z:$work/rows.pcap"
probe unopenable "$work/bin/trace/trace_probe.exe" OLVEX_TRACE="Z:$work/none/rows.pcap" WINEDEBUG=+debugstr
probe library "$work/elsewhere/trace_probe.exe" OLVEX_LIBRARY="Z:$work/bin/Olvexlib.dll"
probe replay "$work/bin/trace/trace_probe.exe" OLVEX_REPLAY="Z:$work/rows.pcap"
for name in off tracing unopenable library replay; do
  cmp -s "$work/real" "$work/$name" || { diff "$work/real" "$work/$name"; fail "through the tracer ($name)"; }
done
[ "$(grep -c 'olvex trace: not tracing: cannot open' "$work/unopenable.err")" = 1 ] ||
  fail "a trace that cannot be opened is said once: $(cat "$work/unopenable.err")"
checked=$("$run" "$bin/olvex.exe" trace check "Z:$work/rows.pcap")
echo "$checked"
echo "completed: $(tail -n 1 "$work/real" | cut -d, -f1) alike through the library and the tracer (not tracing," \
  "tracing, unopenable trace, OLVEX_LIBRARY, replay)"
