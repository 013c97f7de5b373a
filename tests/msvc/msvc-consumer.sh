#!/bin/sh
# msvc-consumer.sh x86|x64 BUILD_DIR SOURCE_DIR [KEYSIM_EXE]
# Installs this build and builds consumer.c in the MSVC ABI (clang-cl,
# lld-link, no C runtime) against the installed header and Olvexlib.lib.
# Without KEYSIM_EXE: link-level checks, including an import library made
# from the installed .def the way a user would. With it: runs the consumer
# under Wine against a virtual key.
set -eu
arch=$1 build=$2 source=$3 keysim=${4:-}
here=$(cd "$(dirname "$0")" && pwd)

tool() { # the first of the names that exists, or a loud failure
  for name in "$@"; do
    command -v "$name" >/dev/null 2>&1 && { command -v "$name"; return; }
  done
  echo "FAIL: none of [$*] is installed (scripts/bootstrap.sh installs them)" >&2
  exit 1
}
clang_cl=$(tool clang-cl-14 clang-cl)
lld_link=$(tool lld-link-14 lld-link)
dlltool=$(tool llvm-dlltool-14 llvm-dlltool)
readobj=$(tool llvm-readobj-14 llvm-readobj)

case "$arch" in
  x86) target=i686-pc-windows-msvc machine=i386 ;;
  x64) target=x86_64-pc-windows-msvc machine=i386:x86-64 ;;
  *) echo "usage: msvc-consumer.sh x86|x64 BUILD_DIR SOURCE_DIR [KEYSIM_EXE]" >&2; exit 2 ;;
esac
if [ -n "$keysim" ]; then mode=run; else mode=static; fi
work="$build/msvc-consumer/$mode"
rm -rf "$work"
mkdir -p "$work"
cd "$work"
prefix="$work/prefix"
cmake --install "$build" --prefix "$prefix" >/dev/null

checks=0
pass() { checks=$((checks + 1)); echo "ok   $*"; }
fail() { echo "FAIL $*"; exit 1; }

# An import library the way a user makes one from a .def; on x86 the kill-at
# option maps the decorated names to the DLL's undecorated ones.
implib() { # DEF LIB
  if [ "$arch" = x86 ]; then "$dlltool" -m i386 -k -d "$1" -l "$2"
  else "$dlltool" -m "$machine" -d "$1" -l "$2"; fi
}
if [ "$arch" = x86 ]; then cp "$here/kernel32.def" kernel32.def
else sed 's/@[0-9]*$//' "$here/kernel32.def" >kernel32.def; fi
implib kernel32.def kernel32.lib

compile() { # OBJ [DEFINES...]
  out=$1; shift
  "$clang_cl" --target="$target" /nologo /c /Zl /GS- /Od /W4 /WX "-I$prefix/include" "$@" \
    "/Fo$out" -- "$here/consumer.c"
}
link() { # EXE OBJ LIB: output of a failed link on stdout
  "$lld_link" /nologo /entry:consumer_main /subsystem:console /nodefaultlib \
    "/out:$1" "$2" "$3" kernel32.lib 2>&1
}
imports() { # EXE: the names it imports from Olvexlib.dll, sorted
  "$readobj" --coff-imports "$1" |
    awk '/Name:/ {in_dll = ($2 == "Olvexlib.dll")} in_dll && /Symbol:/ {print $2}' | sort | tr '\n' ' '
}
want="OLVEX_Connect OLVEX_Disconnect OLVEX_DoCommand OLVEX_EnumDEV "

compile consumer.obj
link consumer.exe consumer.obj "$prefix/lib/Olvexlib.lib" >link.log || { cat link.log; fail "links against the installed Olvexlib.lib"; }
[ "$(imports consumer.exe)" = "$want" ] || fail "imports [$(imports consumer.exe)] from Olvexlib.dll, want [$want]"
pass "links against the installed Olvexlib.lib and imports the four undecorated names"

if [ -z "$keysim" ]; then
  implib "$prefix/include/olvexlib.def" from-def.lib
  cmp -s from-def.lib "$prefix/lib/Olvexlib.lib" || fail "a library made from the installed olvexlib.def differs from Olvexlib.lib"
  pass "a library made from the installed olvexlib.def is Olvexlib.lib, byte for byte"
  link from-def.exe consumer.obj from-def.lib >link.log || { cat link.log; fail "links against the library made from the .def"; }
  [ "$(imports from-def.exe)" = "$want" ] || fail "with the .def-made library, imports [$(imports from-def.exe)]"
  pass "links against the library made from the installed .def, same imports"

  if [ "$arch" = x86 ]; then
    # The undecorated list that used to ship for x86, made into a library the same way.
    implib "$source/include/olvexlib.def" undecorated.lib
    out=$(link old.exe consumer.obj undecorated.lib) && fail "the header's caller linked against the undecorated list"
    printf '%s\n' "$out" | grep -q 'undefined symbol: _OLVEX_EnumDEV@4' || { echo "$out"; fail "unexpected link failure"; }
    pass "the undecorated list fails the header's caller (_OLVEX_EnumDEV@4 undefined)"

    # A caller declaring the exports without __stdcall: the undecorated list
    # lets it link, to pop arguments the DLL already popped; the shipped
    # libraries refuse it.
    compile careless.obj -DOLVEX_OWN_DECLARATIONS
    link careless-old.exe careless.obj undecorated.lib >link.log || { cat link.log; fail "the cdecl caller did not link against the undecorated list"; }
    pass "the undecorated list links a cdecl caller (the silent stack corruption)"
    for lib in "$prefix/lib/Olvexlib.lib" from-def.lib; do
      out=$(link careless.exe careless.obj "$lib") && fail "a cdecl caller linked against $lib"
      printf '%s\n' "$out" | grep -q 'undefined symbol: _OLVEX_EnumDEV$' || { echo "$out"; fail "unexpected link failure"; }
    done
    pass "the installed and the .def-made libraries refuse a cdecl caller at link time"
  fi
  echo "completed: msvc consumer $arch, $checks link checks"
  exit 0
fi

# The run: the installed (stripped) DLL beside the program, one echo key.
run="$source/cmake/wine-run"
cp "$prefix/bin/Olvexlib.dll" .
"$run" "$keysim" plug --serial msvc-consumer --status 6A82 >/dev/null
trap '"$run" "$keysim" unplug --serial msvc-consumer >/dev/null 2>&1 || true' EXIT
execute() { # EXE LOG: its exit code in $rc, its output in LOG
  rc=0
  "$run" "$1" >"$2" 2>&1 || rc=$?
}
execute ./consumer.exe run.log
cat run.log
# A crashed Windows program can exit 0 under Wine: require its own last word.
last=$(tail -n 1 run.log | tr -d '\r')
case "$last" in
  "completed: msvc consumer $arch, "*) [ "$rc" -eq 0 ] || fail "the consumer reported success but exited $rc" ;;
  *) fail "the consumer did not complete (exit $rc)" ;;
esac
pass "the consumer passes $(echo "$last" | sed 's/.*, //') on a virtual key"

if [ "$arch" = x86 ]; then
  # What the stack checks are for: a cdecl caller linked through the
  # undecorated list pops arguments the DLL has already popped, on every call.
  implib "$source/include/olvexlib.def" undecorated.lib
  compile careless.obj -DOLVEX_OWN_DECLARATIONS
  link careless.exe careless.obj undecorated.lib >link.log || { cat link.log; fail "the cdecl caller did not link against the undecorated list"; }
  execute ./careless.exe careless.log
  moved=$(grep -c '^FAIL .*: stack pointer unchanged' careless.log || true)
  calls=$(grep -c ': stack pointer unchanged' careless.log || true)
  [ "$rc" -ne 0 ] && [ "$calls" -gt 0 ] && [ "$moved" -eq "$calls" ] ||
    { cat careless.log; fail "the cdecl caller saw its stack move on $moved of $calls calls (exit $rc); want all, and a failure"; }
  pass "a cdecl caller through the undecorated list sees its stack move on all $calls calls"
fi
echo "completed: msvc consumer $arch on a virtual key, $checks checks"
