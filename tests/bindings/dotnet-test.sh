#!/bin/sh
# dotnet-test.sh BUILD_DIR SOURCE_DIR KEYSIM_EXE ARCH
# Installs this build (the .NET binding beside the DLL, as shipped), builds the
# binding's checks and the scenario drivers against the installed binding and
# runs them on .NET Core under Wine against virtual keys: the key-events table
# first, while no other key is attached, then the checks and the
# timed-exchange table (the drivers plug their own keys, per row).
# The runtime is fetched once into BUILD_DIR/runtimes.
set -eu
build=$1 source=$2 keysim=$3 arch=$4
run="$source/cmake/wine-run"
case "$arch" in
  x64) runtime=dotnet-2.0.0-win@1.0.5 framework=2.0.0 ;;
  x86) runtime=dotnet-2.1-win-ia32@2.1.1007 framework=2.1.0 ;;
  *) echo "dotnet-test.sh: unknown architecture $arch" >&2; exit 2 ;;
esac
dotnet=$(sh "$source/tests/bindings/runtime.sh" "$build/runtimes" "$runtime")/dotnet.exe
[ -f "$dotnet" ] || { echo "FAILED: $runtime has no dotnet.exe"; exit 1; }

work="$build/dotnet-test"
rm -rf "$work"
mkdir -p "$work/app"
cmake --install "$build" --prefix "$work/prefix" >/dev/null
cp "$work/prefix/bin/Olvexlib.dll" "$work/prefix/bin/Olvexkit.dll" "$work/prefix/bin/Olvexlib.Net.dll" "$keysim" \
  "$(dirname "$keysim")/olvex.exe" "$work/app/"
for program in BindingChecks ScenarioDriver EventDriver ArgumentDriver TransactionDriver; do
  mcs -nologo -warnaserror+ -out:"$work/app/$program.exe" -r:"$work/app/Olvexlib.Net.dll" -r:System.Core.dll \
    "$source/tests/bindings/dotnet/$program.cs" "$source/tests/bindings/dotnet/Processes.cs"
  printf '{"runtimeOptions":{"framework":{"name":"Microsoft.NETCore.App","version":"%s"}}}\n' "$framework" \
    >"$work/app/$program.runtimeconfig.json"
done
# The example must keep building against the binding as shipped.
for example in Example Transaction; do
  mcs -nologo -warnaserror+ -out:"$work/app/$example.exe" -r:"$work/app/Olvexlib.Net.dll" "$source/examples/csharp/$example.cs"
  printf '{"runtimeOptions":{"framework":{"name":"Microsoft.NETCore.App","version":"%s"}}}\n' "$framework" \
    >"$work/app/$example.runtimeconfig.json"
done

. "$source/tests/bindings/keys.sh"
export DOTNET_MULTILEVEL_LOOKUP=0 DOTNET_CLI_TELEMETRY_OPTOUT=1
# Z: is the prefix's drive for the Unix root.
cd "$work/app"
run_logged "$work/events.log" "$dotnet" EventDriver.exe "Z:$source/tests/scenarios/key-events.txt"
plug_keys bx-echo: bx-wrong:--behaviour,wrong-lead bx-silent:--behaviour,silent
# The README's program, on every key: an answer, a silent key given up on, a
# refused answer. Keys of its own, gone before the checks count requests.
run_example "$work/example.log" "$dotnet" Example.exe
expect_line "$work/example.log" '^3 key\(s\) attached; Olvexlib.dll 1\.0\.4\.0$' '#bx-echo#.*: status 9000, 5 byte\(s\)$' \
  '^again: status 9000$' '#bx-silent#.*did not answer' '#bx-wrong#.*: error 13: .*refused'
run_example "$work/transaction.log" "$dotnet" Transaction.exe
expect_line "$work/transaction.log" '^transaction: status 9000$'
unplug_keys
plugged=""
plug_keys bd-echo: bd-long:--behaviour,length,--length,51197 bd-wrong:--behaviour,wrong-lead \
  bd-slow:--latency,400 bd-silent:--behaviour,silent bd-gone:
run_logged "$work/arguments.log" "$dotnet" ArgumentDriver.exe "Z:$source/tests/scenarios/bad-arguments.txt" bd-echo
# Both run whatever the other gives; the scenarios' completion line comes last
# only when the checks passed too.
checks=0
(run_logged "$work/checks.log" "$dotnet" BindingChecks.exe) || checks=1
run_logged "$work/scenarios.log" "$dotnet" ScenarioDriver.exe "Z:$source/tests/scenarios/timed-exchange.txt"
# Transactions: each row plugs a key of its own.
run_logged "$work/transactions.log" "$dotnet" TransactionDriver.exe "Z:$source/tests/scenarios/transactions.txt"
if [ $checks -ne 0 ]; then echo "FAILED: the binding's checks (above)"; exit 1; fi
