# Sourced by the binding tests: plug_keys SERIAL:OPTIONS... plugs virtual keys
# in the given order (which is their attach order) and unplugs them all when
# the test exits, however it exits. Needs $run and $keysim.
plugged=""
unplug_keys() {
  for serial in $plugged; do
    "$run" "$keysim" unplug --serial "$serial" >/dev/null 2>&1 || true
  done
}
trap unplug_keys EXIT
trap 'exit 1' INT TERM
plug_keys() {
  for key in "$@"; do
    serial=${key%%:*}
    options=$(printf '%s' "${key#*:}" | tr ',' ' ')
    # shellcheck disable=SC2086  # options are words on purpose
    status=0
    "$run" "$keysim" plug --serial "$serial" $options >/dev/null || status=$?
    if [ "$status" -ne 0 ]; then echo "FAILED: keysim plug --serial $serial $options: exit status $status"; exit 1; fi
    plugged="$plugged $serial"
  done
}

# run_logged LOG PROGRAM ARGS...: runs a Windows program with stdin from
# /dev/null and its output in LOG (some runtimes die on a Unix pipe), prints
# the log, and fails unless the program exited 0 with `completed: ` last.
run_logged() {
  log=$1
  shift
  status=0
  "$run" "$@" </dev/null >"$log" 2>&1 || status=$?
  cat "$log"
  if [ "$status" -ne 0 ]; then echo "FAILED: exit status $status"; exit 1; fi
  tail -n1 "$log" | grep -q '^completed: ' || { echo "FAILED: no completion line (crashed?)"; exit 1; }
}

# run_example LOG PROGRAM ARGS... then expect_line LOG PATTERN...: an example
# program, which prints no completion line of its own, must exit 0 and print
# a line matching each PATTERN (grep -E).
run_example() {
  log=$1
  shift
  status=0
  "$run" "$@" </dev/null >"$log" 2>&1 || status=$?
  cat "$log"
  if [ "$status" -ne 0 ]; then echo "FAILED: example $*: exit status $status"; exit 1; fi
}
expect_line() {
  log=$1
  shift
  for pattern in "$@"; do
    tr -d '\r' <"$log" | grep -Eq "$pattern" || { echo "FAILED: $log: no line matching $pattern"; exit 1; }
  done
}
