#!/bin/sh
# check-dll.sh OBJDUMP DLL: the library exports exactly its four names and
# imports only system DLLs (no compiler runtime to ship beside it).
set -eu
objdump=$1 dll=$2
dump=$("$objdump" -p "$dll")
exports=$(printf '%s\n' "$dump" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | awk 'NR>1 && NF {print $NF}' | sort | tr '\n' ' ')
want="OLVEX_Connect OLVEX_Disconnect OLVEX_DoCommand OLVEX_EnumDEV "
if [ "$exports" != "$want" ]; then
  echo "exports are [$exports], want [$want]"; exit 1
fi
imports=$(printf '%s\n' "$dump" | awk '/DLL Name:/ {print toupper($3)}' | sort -u)
for dll_name in $imports; do
  case "$dll_name" in
    KERNEL32.DLL|ADVAPI32.DLL|SETUPAPI.DLL|MSVCRT.DLL) ;;
    *) echo "imports $dll_name, which is not a system DLL"; exit 1 ;;
  esac
done
echo "exports: $exports"
echo "imports: $(echo $imports)"
