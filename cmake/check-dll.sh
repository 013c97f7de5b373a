#!/bin/sh
# check-dll.sh OBJDUMP DLL [DEBUG_FILE]: the library exports exactly its four
# names and imports only system DLLs (no compiler runtime to ship beside it).
# With DEBUG_FILE, DLL is a shipped copy: stripped of symbols and debug
# information, which DEBUG_FILE holds and DLL's debug link names and checksums.
# check-dll.sh OBJDUMP DLL --kit: the same of Olvexkit.dll, which may import
# Olvexlib.dll too.
set -eu
objdump=$1 dll=$2 debug=${3:-}
dump=$("$objdump" -p "$dll")
exports=$(printf '%s\n' "$dump" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | awk 'NR>1 && NF {print $NF}' | sort | tr '\n' ' ')
want="OLVEX_Connect OLVEX_Disconnect OLVEX_DoCommand OLVEX_EnumDEV "
library=
if [ "$debug" = --kit ]; then
  want="OLVEXKIT_AllKeys OLVEXKIT_Begin OLVEXKIT_Cancel OLVEXKIT_CancelCall OLVEXKIT_Close OLVEXKIT_CloseAll OLVEXKIT_CloseAsync OLVEXKIT_CloseWatch OLVEXKIT_End OLVEXKIT_ErrorMessage OLVEXKIT_Exchange OLVEXKIT_ExchangeCancellable OLVEXKIT_Identify OLVEXKIT_KeyCount OLVEXKIT_Keys OLVEXKIT_NextEvent OLVEXKIT_Open OLVEXKIT_OpenPath OLVEXKIT_OpenSerial OLVEXKIT_Start OLVEXKIT_StopWatch OLVEXKIT_Version OLVEXKIT_Watch OLVEXKIT_WatchNotified napi_register_module_v1 "
  library=OLVEXLIB.DLL debug=
fi
if [ "$exports" != "$want" ]; then
  echo "exports are [$exports], want [$want]"; exit 1
fi
imports=$(printf '%s\n' "$dump" | awk '/DLL Name:/ {print toupper($3)}' | sort -u)
for dll_name in $imports; do
  case "$dll_name" in
    KERNEL32.DLL|ADVAPI32.DLL|SETUPAPI.DLL|MSVCRT.DLL|"$library") ;;
    *) echo "imports $dll_name, which is not a system DLL"; exit 1 ;;
  esac
done
echo "exports: $exports"
echo "imports: $(echo $imports)"
[ -n "$debug" ] || { echo "completed: exports and imports of $dll"; exit 0; }

symbols() { "$objdump" -t "$1" | grep -c '^\[' || true; }
debug_sections() { "$objdump" -h "$1" | awk '$2 ~ /^\.debug_/ {print $2}' | sort | tr '\n' ' '; }
[ "$(symbols "$dll")" -eq 0 ] || { echo "$dll still has $(symbols "$dll") symbols"; exit 1; }
[ -z "$(debug_sections "$dll")" ] || { echo "$dll still has $(debug_sections "$dll")"; exit 1; }
for section in .debug_info .debug_line; do
  case " $(debug_sections "$debug")" in
    *" $section "*) ;;
    *) echo "$debug lacks $section: [$(debug_sections "$debug")]"; exit 1 ;;
  esac
done
# The runtime linked in brings debug information of its own: look for ours.
described=$("$objdump" -Wi "$debug" | sed -n 's/.*DW_AT_name *: //p')
for name in OLVEX_EnumDEV OLVEX_Connect OLVEX_DoCommand OLVEX_Disconnect; do
  printf '%s\n' "$described" | grep -qx "$name" || { echo "$debug does not describe $name"; exit 1; }
  "$objdump" -t "$debug" | grep -Eq " _?$name(@[0-9]+)?\$" || { echo "$debug has no symbol $name"; exit 1; }
done

# The link: the debug file's name, a terminator, padding, then its CRC-32
# (little-endian), the checksum gzip keeps in its trailer.
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
"${objdump%objdump}objcopy" --dump-section .gnu_debuglink="$tmp/link" "$dll" "$tmp/copy" 2>/dev/null || true
[ -s "$tmp/link" ] || { echo "$dll has no debug link"; exit 1; }
linked=$(tr '\000' '\n' <"$tmp/link" | head -n 1)
[ "$linked" = "$(basename "$debug")" ] || { echo "$dll links to [$linked], want $(basename "$debug")"; exit 1; }
crc_linked=$(tail -c 4 "$tmp/link" | od -An -tx1 | tr -d ' \n')
crc_file=$(gzip -c "$debug" | tail -c 8 | head -c 4 | od -An -tx1 | tr -d ' \n')
[ "$crc_linked" = "$crc_file" ] || { echo "$dll links to a $linked with CRC $crc_linked; the file beside it has $crc_file"; exit 1; }
echo "completed: $dll stripped, debug link to $linked (CRC $crc_file)"
