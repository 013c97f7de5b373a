#!/usr/bin/env bash
# Installs what a fresh Debian 12 machine lacks to build and test the library.
# Idempotent: each package is checked first, so a second run costs seconds.
set -euo pipefail

need=()
have() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

# clang-tools-14 and lld-14: clang-cl-14 and lld-link-14 for the MSVC-ABI
# consumer tests; llvm-14: llvm-dlltool-14 and llvm-readobj-14.
for p in cmake ninja-build g++ clang libclang-rt-14-dev libgtest-dev googletest \
         g++-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64-i686 \
         binutils-mingw-w64-x86-64 llvm llvm-14 clang-tools-14 lld-14 \
         wine wine32:i386 wine64 mono-mcs tshark; do
  have "$p" || need+=("$p")
done
# npm (with Debian's nodejs) packs the Node.js binding and fetches the Windows
# runtimes the binding tests run on; any installed npm will do.
command -v npm >/dev/null 2>&1 || need+=(npm)

if [ ${#need[@]} -eq 0 ]; then
  exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
  echo "bootstrap: missing packages (${need[*]}); run as root to install them" >&2
  exit 1
fi

export DEBIAN_FRONTEND=noninteractive
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
fi
# A mirror caught mid-sync fails one index (seen: bookworm-security i386) while
# the rest are fine; the install below still says so if a package is missing.
apt-get update -qq || echo "bootstrap: apt-get update failed in part; installing from the indexes it has" >&2
install() { apt-get install -y -qq --no-install-recommends "$@" >/dev/null; }
if ! install "${need[@]}"; then
  # 32-bit Wine needs i386 libraries at exactly the amd64 versions; with the
  # i386 index missing it cannot be had. Everything else still installs, and
  # the test command then says that the 32-bit Wine tests are left out.
  rest=()
  for p in "${need[@]}"; do [ "$p" = wine32:i386 ] || rest+=("$p"); done
  [ ${#rest[@]} -lt ${#need[@]} ] || exit 1
  echo "bootstrap: wine32:i386 cannot be installed now; installing the rest without it" >&2
  install "${rest[@]}"
fi
