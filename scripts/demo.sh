#!/usr/bin/env bash
# A tour of Olvexlib on one machine: builds it, plugs three virtual keys into
# a Wine prefix of the demo's own (one of them slow to answer), and uses the
# olvex tool to list them, exchange commands and measure them; then traces a
# session through the tracer and replays it with the keys unplugged.
# Everything it starts is stopped at the end, on error too.
set -euo pipefail
cd "$(dirname "$0")/.."

say() { printf '\n\033[1m== %s\033[0m\n' "$*"; }

say "installing what is missing"
bash scripts/bootstrap.sh

# The 32-bit build where this kernel can run 32-bit programs, else the 64-bit one.
if /usr/lib/wine/wine --version >/dev/null 2>&1; then preset=win32; else preset=win64; fi
say "building the $preset preset"
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" | tail -n 1

bin=$PWD/build/$preset/bin
prefix=$PWD/build/demo-prefix
export WINEPREFIX=$prefix WINEDEBUG=-all
win() { cmake/wine-run "$bin/$1.exe" "${@:2}"; }

plugged=()
cleanup() {
  status=$?
  trap - EXIT INT TERM
  for serial in "${plugged[@]}"; do win keysim unplug --serial "$serial" >/dev/null 2>&1 || true; done
  # Ends the prefix's wineserver and with it every process of the demo.
  cmake/wine-prefix stop "$prefix"
  [ $status -eq 0 ] || echo "demo: failed (status $status)" >&2
  exit $status
}
trap cleanup EXIT INT TERM

say "starting a fresh Wine prefix in build/demo-prefix"
cmake/wine-prefix start "$prefix"

say "olvex list, before any key is plugged"
win olvex list

say "plugging three virtual keys, a second apart; demo-b answers after 40 ms"
declare -A paths
for key in "demo-a" "demo-b --latency 40" "demo-c --status 6a82"; do
  set -- $key
  printf '  %-8s ' "$1"
  paths[$1]=$(win keysim plug --serial "$@" | tr -d '\r')
  echo "${paths[$1]}"
  plugged+=("$1")
  sleep 1
done

say "olvex list: oldest first, with attach times"
win olvex list
say "olvex list --json"
win olvex list --json

say "olvex send: two commands to key 0, an echo key"
win olvex send 00a40400 "48 65 6c 6c 6f 2c 20 4f 6c 76 65 78 6c 69 62 21"
say "olvex send --index 2: this key answers status 6a82"
win olvex send --index 2 80ca9f7f
say "olvex send --index 7: there is no such key (exit code 3)"
win olvex send --index 7 00 || echo "  exit code $?"
say "olvex send with bad hex: refused before sending (exit code 2)"
win olvex send 00a4 0g || echo "  exit code $?"
say "olvex send --timeout 10 to demo-b, which takes 40 ms: given up on (exit code 4)"
win olvex send --index 1 --timeout 10 00a40400 || echo "  exit code $?"
say "the late answer was read and dropped: the next program gets its own (0b), not 00a40400's"
win olvex send --index 1 0b
say "olvex send --path: a key by its device path, whatever its index"
win olvex send --path "${paths[demo-c]}" 0c

say "olvex run: a script with expected status words"
script=$(mktemp)
printf '# select, then read\n00 a4 04 00 => 9000\n80 ca 9f 7f => 9000\n' >"$script"
cat "$script" | sed 's/^/  | /'
win olvex run "Z:$script"
rm -f "$script"

say "olvex bench: the fast key, then the slow one"
win olvex bench --index 0 --size 64 --count 500
win olvex bench --index 1 --size 64 --count 20

say "olvex watch, while a key is plugged, unplugged and plugged back"
watchlog=$(mktemp)
win olvex watch --interval 100 >"$watchlog" 2>&1 </dev/null &
watcher=$!
sleep 2
printf '  %-8s ' demo-d
win keysim plug --serial demo-d
plugged+=(demo-d)
sleep 1
win keysim unplug --serial demo-d
sleep 1
printf '  %-8s ' demo-d
win keysim plug --serial demo-d
sleep 1
kill "$watcher" 2>/dev/null || true
wait "$watcher" 2>/dev/null || true
sed 's/^/  | /' "$watchlog"
rm -f "$watchlog"

say "what the keys counted (none got an answer meant for another)"
win keysim list

say "tracing: a copy of olvex beside the tracer (bin/trace/Olvexlib.dll) loads it, unrebuilt"
traced=$PWD/build/demo-trace
rm -rf "$traced" && mkdir -p "$traced/bin/trace"
cp "$bin/Olvexlib.dll" "$traced/bin/" && cp "$bin/trace/Olvexlib.dll" "$bin/olvex.exe" "$traced/bin/trace/"
olvex_traced() { cmake/wine-run "$traced/bin/trace/olvex.exe" "$@"; }
OLVEX_TRACE="Z:$traced/session.pcap" olvex_traced send --index 0 00a40400 "80 ca 9f 7f"
OLVEX_TRACE="Z:$traced/session.pcap" olvex_traced send --index 2 80ca9f7f
say "olvex trace show: each call, with the frames as sent and as read"
win olvex trace show "Z:$traced/session.pcap" | sed 's/#{[^}]*}/#{...}/'
say "tshark with the dissector (share/olvexlib/olvex.lua): olvex.status != 0x9000"
tshark -X lua_script:tools/trace/olvex.lua -r "$traced/session.pcap" -Y 'olvex.status != 0x9000' 2>/dev/null
say "replay, with the keys unplugged: the same answers, from the trace"
for serial in demo-a demo-b demo-c demo-d; do win keysim unplug --serial "$serial" >/dev/null 2>&1 || true; done
OLVEX_REPLAY="Z:$traced/session.pcap" olvex_traced send --index 0 00a40400 "80 ca 9f 7f"
say "replay of a changed command: refused with 13, and the divergence named"
OLVEX_REPLAY="Z:$traced/session.pcap" OLVEX_REPLAY_LOG="Z:$traced/divergence.txt" \
  olvex_traced send --index 0 00a40401 || echo "  exit code $?"
tr -d '\r' <"$traced/divergence.txt" | sed 's/^/  | /'

say "done"
