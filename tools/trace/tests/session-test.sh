#!/bin/sh
# session-test.sh BIN SOURCE WORK
# Sessions of olvex and of olvexlib.hpp (trace_probe), traced by copies of the
# unchanged programs beside the tracer, against keysim: echo, long answers, a
# refused status, a refused frame, a time limit and its late answer, two
# threads, two processes at once, a redacted trace. olvex trace show must give
# what keysim counted and sends, tshark the same fields, and replay with every
# key unplugged the same output and exit codes.
set -eu
bin=$1 source=$2 work=$3
run="$source/cmake/wine-run"
keysim="$bin/keysim.exe"
lua="$source/tools/trace/olvex.lua"
rm -rf "$work"
mkdir -p "$work/bin/trace"
cp "$bin/Olvexlib.dll" "$work/bin/"
cp "$bin/trace/Olvexlib.dll" "$bin/olvex.exe" "$bin/trace_probe.exe" "$work/bin/trace/"
app="$work/bin/trace"
fail() { echo "FAILED: $*"; exit 1; }

trap '"$run" "$keysim" clear >/dev/null 2>&1 || true' EXIT
for key in "s-echo" "s-long --behaviour length --length 51197" "s-slow --latency 300" "s-status --status 6a82" \
           "s-lead --behaviour wrong-lead"; do
  "$run" "$keysim" plug --serial $key >/dev/null
done
printf '00a40400 => 9000\n' >"$work/script"

# Each step: NAME EXIT COMMAND...; its trace is NAME-<pid>.pcap, unless TRACE is set.
steps="echo:0:olvex.exe send --index 0 0102 a0b0c0
long:0:olvex.exe send --index 1 80
status:1:olvex.exe run --index 3 Z:$work/script
timeout:4:olvex.exe send --index 2 --timeout 100 01
late:0:olvex.exe send --index 2 0b
lead:1:olvex.exe send --index 4 01
session:0:trace_probe.exe session"
step() {  # MODE NAME EXIT PROGRAM ARGS...: runs it traced (record) or replayed
  mode=$1 name=$2 want=$3 program=$4
  shift 4
  set +e
  if [ "$mode" = record ]; then
    OLVEX_TRACE="${TRACE:-Z:$work/$name-%p.pcap}" "$run" "$app/$program" "$@" >"$work/$name.record" 2>&1
  else
    replayed=${TRACE:-Z:$(ls "$work/$name"-*.pcap)}
    OLVEX_REPLAY="$replayed" OLVEX_REPLAY_TIMING=1 "$run" "$app/$program" "$@" >"$work/$name.replay" 2>&1
  fi
  rc=$?
  set -e
  [ "$rc" = "$want" ] && return
  cat "$work/$name.$mode"
  # What the replay answered from, for a failure seen once and not reproduced.
  [ "$mode" = replay ] && "$run" "$app/olvex.exe" trace show "$replayed" | cut -c1-160
  fail "$mode $name: exit code $rc, want $want"
}
run_all() {
  printf '%s\n' "$steps" | while IFS=: read -r name want command; do step "$1" "$name" "$want" $command; done
  # Two processes at once, both tracing to one file.
  TRACE="Z:$work/two.pcap" step "$1" two-a 0 olvex.exe send --index 0 11 &
  a=$!
  TRACE="Z:$work/two.pcap" step "$1" two-b 0 olvex.exe send --index 1 22 &
  b=$!
  wait $a && wait $b || fail "$1: two processes"
}
# Recorded only: a redacted trace does not replay.
OLVEX_TRACE_REDACT=1 step record redact 0 olvex.exe send --index 0 0020008108313233343536373839
run_all record
printf '%s\n' "$steps" | while IFS=: read -r name rest; do
  [ "$(ls "$work/$name"-*.pcap | wc -l)" = 1 ] || fail "$name: want one trace named by its process id"
done

show() { "$run" "$app/olvex.exe" trace show "Z:$1"; }
for trace in "$work"/*.pcap; do show "$trace" >>"$work/shown"; done  # fails on a bad record
sort "$work/shown" | tr -d '\r' >"$work/sorted"
[ "$(show "$work/two.pcap" | grep DoCommand | cut -d' ' -f2 | cut -d: -f1 | sort -u | wc -l)" = 2 ] ||
  fail "two processes, one trace: want the records of both"

# What each key received, as keysim counted it, and what it sends for each command.
field='function field(n, i) { for (i = 1; i <= NF; i++) if (index($i, n "=") == 1) return substr($i, length(n) + 2) }'
for serial in s-echo s-long s-slow s-status s-lead; do
  stats=$("$run" "$keysim" stats --serial $serial | tr -d '\r')
  echo "$serial: $stats"
  grep "DoCommand key=[^ ]*#$serial#" "$work/sorted" | awk -v serial=$serial -v stats="$stats" "$field"'
    BEGIN { for (i = 0; i < 256; i++) { hx[i] = sprintf("%02x", i); byte[hx[i]] = i } }
    $NF == "redacted" { count++; next }
    {
      cmd = field("cmd"); rsp = field("rsp"); payload = substr(cmd, 7); n = length(payload) / 2; last = cmd; count++
      if (serial == "s-long") {
        ok = substr(rsp, 1, 6) == "5afdc7" && length(rsp) == 2 * 51200 && substr(rsp, 102397) == "9000"
        for (i = 0; ok && i < 51195; i++) ok = substr(rsp, 7 + 2 * i, 2) == hx[(byte[substr(payload, 1, 2)] + i) % 256]
      } else {
        ok = rsp == (serial == "s-lead" ? "5b" : "5a") hx[(n + 2) % 256] hx[int((n + 2) / 256)] payload \
                    (serial == "s-status" ? "6a82" : "9000")
      }
      if (!ok) { print "answer not as keysim sends it: " $0; bad = 1 }
    }
    END {
      if (stats !~ "^requests=" count " .*last=" last "$") { print serial ": traced " count ", last " last; bad = 1 }
      exit bad
    }' || fail "$serial: the traces differ from what keysim received and sent"
done

# tshark with the dissector decodes the same facts from every record.
tshark_runs() { $1 tshark -G fields -X lua_script:"$lua" 2>/dev/null | grep -q "	olvex.status	"; }
ts=
if tshark_runs ""; then ts=tshark
elif [ "$(id -u)" = 0 ] && tshark_runs "setpriv --reuid=65534 --regid=65534 --clear-groups env HOME=/tmp"; then
  ts="setpriv --reuid=65534 --regid=65534 --clear-groups env HOME=/tmp tshark"  # Lua off for root: as nobody
else fail "tshark does not load $lua"; fi
dissect() { $ts -X lua_script:"$lua" -T fields -r "$@" 2>/dev/null; }
mergecap -w "$work/all.pcapng" "$work"/*.pcap
dissect "$work/all.pcapng" -Y 'olvex.call == 3' -E separator=' ' -e olvex.path -e olvex.command -e olvex.body \
  -e olvex.status -e olvex.error >"$work/dissected"
grep ' DoCommand ' "$work/sorted" | awk "$field"'
  { c = field("cmd"); r = field("rsp"); st = field("status"); sub(/\.\.\..*/, "", c); cut = sub(/\.\.\..*/, "", r)
    print field("key"), substr(c, 7), cut ? "" : substr(r, 7, length(r) - 10), st == "" ? "" : "0x" st, field("error") }
' >"$work/expected"
# A trace is in the order calls ended, its records stamped when they began:
# mergecap keeps each file's order, show's lines were sorted by time.
sort "$work/expected" -o "$work/expected"
sort "$work/dissected" -o "$work/dissected"
if ! cmp -s "$work/expected" "$work/dissected"; then
  diff -u "$work/expected" "$work/dissected" | cut -c1-200 | head -n 40
  fail "tshark differs from olvex trace show (- show, + tshark)"
fi
[ "$(dissect "$(ls "$work"/status-*.pcap)" -Y 'olvex.status != 0x9000' -e olvex.status)" = 0x6a82 ] ||
  fail "the display filter olvex.status != 0x9000"

# Redacted: lengths and status kept, no byte beyond the command's first four.
grep -q 'cmd=a50e0000200081\.\.\.(17 bytes) rsp=5a1000\.\.\.(19 bytes) redacted' "$work/sorted" || fail "redaction"
od -An -tx1 "$work"/redact-*.pcap | tr -d ' \n' | grep -q 3132333435 && fail "a redacted trace holds the PIN"

# Replay, with no key: the same output and exit codes.
"$run" "$keysim" clear >/dev/null
run_all replay
for out in "$work"/*.replay; do
  cmp -s "${out%.replay}.record" "$out" && continue
  diff -u "${out%.replay}.record" "$out" | head -n 40
  fail "replay of $(basename "$out") differs from its recording (- recorded, + replayed)"
done
echo "completed: 10 programs traced against 5 keys; show, tshark and keysim agree; replayed alike with no key"
