#!/bin/sh
# transparency-test.sh BIN SOURCE WORK
# The transparency table (transparency.txt) through the real library, then
# through the tracer found first beside a copy of the same program: not
# tracing, tracing, with a trace it cannot open, loading the library that
# OLVEX_LIBRARY names, and replaying the trace with no key. Every run must
# print the same lines, each row as the table expects; a changed command in
# replay fails with 13 and the divergence is said.
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

probe() {  # NAME PROGRAM [VARIABLE=VALUE...]: its lines, whatever its exit code
  name=$1 program=$2
  shift 2
  env "$@" "$run" "$program" rows "${TABLE:-$table}" >"$work/$name" 2>"$work/$name.err" || true
}
probe real "$bin/trace_probe.exe"
tail -n 1 "$work/real" | grep -Eq '^([0-9]+) rows, \1 as expected' || fail "the rows through the library"
probe off "$work/bin/trace/trace_probe.exe"
probe tracing "$work/bin/trace/trace_probe.exe" OLVEX_TRACE="Z:$work/rows.pcap"
probe unopenable "$work/bin/trace/trace_probe.exe" OLVEX_TRACE="Z:$work/none/rows.pcap" WINEDEBUG=+debugstr
probe library "$work/elsewhere/trace_probe.exe" OLVEX_LIBRARY="Z:$work/bin/Olvexlib.dll"
probe replay "$work/bin/trace/trace_probe.exe" OLVEX_REPLAY="Z:$work/rows.pcap"
for name in off tracing unopenable library replay; do
  cmp -s "$work/real" "$work/$name" || { diff "$work/real" "$work/$name"; fail "through the tracer ($name)"; }
done
# Said once to a debugger and once on the program's standard error.
[ "$(grep -c 'debugstr.*olvex trace: not tracing: cannot open' "$work/unopenable.err")" = 1 ] &&
  [ "$(grep -c '^olvex trace: not tracing: cannot open' "$work/unopenable.err")" = 1 ] ||
  fail "a trace that cannot be opened is said once to each: $(cat "$work/unopenable.err")"
# A changed command in replay: refused with 13, the divergence said once.
sed 's/command 0102a0b0 /command 0102a0b1 /' "$source/tools/trace/tests/transparency.txt" >"$work/changed.txt"
TABLE="Z:$work/changed.txt" probe changed "$work/bin/trace/trace_probe.exe" OLVEX_REPLAY="Z:$work/rows.pcap" \
  OLVEX_REPLAY_LOG="Z:$work/divergence.log" WINEDEBUG=+debugstr
grep -q '^echo: rc -1 err 13  EXPECTED sw 9000' "$work/changed" || fail "a changed command: $(cat "$work/changed")"
said='OLVEX_REPLAY=Z:.*/rows.pcap: replay diverged: record [0-9]*, key .*#tr-echo#.*: expected a504000102a0b0, got a504000102a0b1'
[ "$(grep -c "$said" "$work/divergence.log")" = 1 ] || fail "the divergence is not said once in the log"
[ "$(grep -c "debugstr.*$said" "$work/changed.err")" = 1 ] && [ "$(grep -c "^olvex trace: $said" "$work/changed.err")" = 1 ] ||
  fail "the divergence is not said once to a debugger and once on stderr: $(cat "$work/changed.err")"
"$run" "$bin/olvex.exe" trace check "Z:$work/rows.pcap"
echo "completed: $(tail -n 1 "$work/real" | cut -d, -f1) alike through the library and the tracer (not tracing," \
  "tracing, unopenable trace, OLVEX_LIBRARY, replay)"
