#!/bin/sh
# expect-failure.sh PATTERN [--not PATTERN] COMMAND [ARGS...]
# Passes when COMMAND (the test guard running a planted fault) fails and its
# verdict matches the extended regular expression PATTERN (and not the --not
# one): the guard caught the fault, and for the right reason.
set -u
pattern=$1 unwanted=
shift
if [ "$1" = --not ]; then unwanted=$2; shift 2; fi
# The planted faults plug no keys; the entry's own guard clears afterwards.
out=$(env -u OLVEX_KEYSIM "$@" 2>&1)
rc=$?
printf '%s\n' "$out" | sed 's/^/  | /'
verdict=$(printf '%s\n' "$out" | grep '^wine-check: ' | tail -n 1)
if [ "$rc" -eq 0 ]; then
  echo "the guard passed a planted fault: $verdict"
  exit 1
fi
printf '%s\n' "$verdict" | grep -Eq -- "$pattern" || {
  echo "the guard failed, but not with a verdict matching /$pattern/: $verdict"
  exit 1
}
if [ -n "$unwanted" ] && printf '%s\n' "$verdict" | grep -Eq -- "$unwanted"; then
  echo "the guard failed, but its verdict matches /$unwanted/: $verdict"
  exit 1
fi
echo "completed: the guard failed it: $verdict"
