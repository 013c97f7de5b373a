#!/bin/sh
# example-test.sh TOUR_EXE SOURCE_DIR KEYSIM_EXE
# Runs examples/cpp/tour.cpp, whose parts the README quotes, on a virtual echo key.
set -eu
tour=$1 source=$2 keysim=$3
run="$source/cmake/wine-run"
out=$(mktemp)
trap '"$run" "$keysim" unplug --serial tour >/dev/null 2>&1 || true; rm -f "$out"' EXIT
trap 'exit 1' INT TERM
status=0
"$run" "$keysim" plug --serial tour >/dev/null || status=$?
[ "$status" = 0 ] || { echo "FAILED: keysim plug --serial tour: exit status $status"; exit 1; }
"$run" "$tour" </dev/null >"$out" 2>&1 || status=$?
cat "$out"
[ "$status" = 0 ] || { echo "FAILED: the tour exited $status"; exit 1; }
for want in '#tour#' '^status 9000, 5 bytes' '^timed: answered, status 9000' \
            '^call [0-9]*: error \(0\|995\), status' \
            '^transaction: status 9000, 4 bytes' '^watching through .*; done'; do
  grep -q "$want" "$out" || { echo "FAILED: no line matching $want"; exit 1; }
done
echo "completed: the C++ tour on a virtual key"
