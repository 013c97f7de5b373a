#!/bin/sh
# runtime.sh CACHE NAME@VERSION: prints the folder holding the unpacked npm
# package NAME@VERSION, fetching it into CACHE on first use. The Windows
# runtimes refuse `npm install` on Linux, so they are packed and untarred.
set -eu
cache=$1 wanted=$2
dir="$cache/$wanted"
if [ ! -f "$dir/.complete" ]; then
  rm -rf "$dir" "$dir.tmp"
  mkdir -p "$dir.tmp"
  if ! tgz=$(cd "$dir.tmp" && npm pack --silent "$wanted" </dev/null 2>"$dir.tmp/npm.log" | tail -n1) || [ -z "$tgz" ]; then
    cat "$dir.tmp/npm.log" >&2
    echo "runtime.sh: cannot fetch $wanted from the npm registry" >&2
    exit 1
  fi
  tar xzf "$dir.tmp/$tgz" -C "$dir.tmp"
  mv "$dir.tmp/package" "$dir"
  rm -rf "$dir.tmp"
  touch "$dir/.complete"
fi
printf '%s\n' "$dir"
