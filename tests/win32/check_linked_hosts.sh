#!/usr/bin/env bash
# Links hosts against the import libraries of zelqd.dll and checks what the
# linkers made of the call to ZelMain: each host must import ZelMain by name
# from zelqd.dll, and nothing else from it.
#
#   check_linked_hosts.sh INCLUDE-DIR ZELQD.LIB MSVC-HOST.C WORK-DIR [MINGW-HOST.EXE]
#
# zelqd.lib is taken by an MSVC-style toolchain: MSVC-HOST.C is compiled by
# clang in the mode of Microsoft's compiler (32-bit, structure packing 1)
# and linked by lld-link, twice: as Visual C++ 2010 and later see the
# header (stdint.h), and as Visual C++ 2008 sees it (no stdint.h). The
# import table of MINGW-HOST.EXE, a program that the MinGW-w64 linker
# linked with libzelqd.dll.a, is checked the same way.
set -euo pipefail
(($# == 4 || $# == 5)) || { echo "usage: check_linked_hosts.sh INCLUDE-DIR ZELQD.LIB MSVC-HOST.C WORK-DIR [MINGW-HOST.EXE]" >&2; exit 2; }
include=$1 lib=$2 source=$3 work=$4 mingw_host=${5:-}
clang=${CLANG:-clang}
lld_link=${LLD_LINK:-lld-link}
objdump=${OBJDUMP:-i686-w64-mingw32-objdump}
mkdir -p "$work"
failed=0

# The names a program imports from zelqd.dll, one a line.
zelqd_imports() {
  "$objdump" -p "$1" | awk '
    /^\tDLL Name: / { inside = (tolower($3) == "zelqd.dll"); next }
    inside && /^\t[0-9a-f]+\t/ { print (NF >= 3 ? $3 : "ordinal " $2) }
    /^$/ && inside { inside = 0 }'
}

check() {
  local exe=$1 label=$2 names
  names=$(zelqd_imports "$exe")
  if [ "$names" = ZelMain ]; then
    echo "$label: imports zelqd.dll!ZelMain"
  else
    echo "FAIL: $label imports from zelqd.dll: ${names:-nothing}"
    failed=1
  fi
}

for version in 19.00 15.00; do
  obj=$work/msvc_host_$version.obj exe=$work/msvc_host_$version.exe
  "$clang" --target=i686-pc-windows-msvc -fms-compatibility-version="$version" -ffreestanding \
    -fpack-struct=1 -std=c99 -Wall -Wextra -Werror -I "$include" -c "$source" -o "$obj"
  "$lld_link" -nologo -entry:HostEntry -subsystem:console -nodefaultlib -out:"$exe" "$obj" "$lib"
  check "$exe" "MSVC-style host (_MSC_VER ${version/./})"
done
if [ -n "$mingw_host" ]; then check "$mingw_host" "MinGW host $(basename "$mingw_host")"; fi
exit "$failed"
