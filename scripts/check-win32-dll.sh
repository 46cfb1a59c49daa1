#!/usr/bin/env bash
# Checks a built zelqd.dll before it ships:
#   - every import is listed in the allowed list (DLL and function);
#   - the one export is ZelMain, by name;
#   - no static constructor waits for start-up code that the DLL does not
#     have (it is linked without the compiler's start-up files);
#   - the stripped DLL is at most 64 KiB;
#   - the version resource carries the project's version.
#
#   check-win32-dll.sh DLL ALLOWED-IMPORTS VERSION
#
# The binutils of the MinGW-w64 cross compiler by default; OBJDUMP, NM and
# STRIP choose others. Prints the imports, the export and the sizes.
set -euo pipefail
(($# == 3)) || { echo "usage: check-win32-dll.sh DLL ALLOWED-IMPORTS VERSION" >&2; exit 2; }
dll=$1 allowed=$2 version=$3
objdump=${OBJDUMP:-i686-w64-mingw32-objdump}
nm=${NM:-i686-w64-mingw32-nm}
strip=${STRIP:-i686-w64-mingw32-strip}
export LC_ALL=C
failed=0
fail() { echo "FAIL: $*"; failed=1; }

dump=$("$objdump" -p "$dll")

# Imports as "DLL function", or "DLL ordinal N" for an import without a name.
imports=$(awk '
  /^The Import Tables/ { inside = 1; next }
  /^The (Export Tables|Function Table)/ { inside = 0 }
  !inside { next }
  /^\tDLL Name: / { dll = $3; next }
  dll != "" && /^\t[0-9a-f]+\t/ {
    if (NF >= 3) print dll, $3; else print dll, "ordinal", $2
  }
' <<<"$dump")
echo "imports:"
sed 's/^/  /' <<<"$imports"

listed=$(sed -e 's/#.*//' -e '/^[[:space:]]*$/d' "$allowed" | awk '{ print toupper($1), $2 }' | sort -u)
while read -r library function; do
  [ -n "$library" ] || continue
  key="$(tr '[:lower:]' '[:upper:]' <<<"$library") $function"
  grep -qxF "$key" <<<"$listed" || fail "import $library $function is not in $(basename "$allowed")"
done <<<"$imports"
imported=$(awk '{ print toupper($1), $2 }' <<<"$imports" | sort -u)
while read -r entry; do
  grep -qxF "$entry" <<<"$imported" || echo "note: $entry is allowed but no longer imported"
done <<<"$listed"

# Exports: exactly one address, named ZelMain.
addresses=$(awk '/^Export Address Table -- Ordinal Base/ { n = 1; next } n && /^\t\[/ { c++ } n && /^$/ { n = 0 } END { print c + 0 }' <<<"$dump")
names=$(awk '/^\[Ordinal\/Name Pointer\] Table/ { n = 1; next } n && /^\t\[/ { print $NF } n && /^$/ { n = 0 }' <<<"$dump")
echo "exports: $addresses address(es), by name: $(tr '\n' ' ' <<<"$names")"
[ "$addresses" = 1 ] && [ "$names" = ZelMain ] || fail "the DLL must export ZelMain alone"

# Windows XP (5.1) must accept the image: it refuses a DLL that asks for a
# newer subsystem version.
subsystem=$(awk '/^MajorSubsystemVersion/ { major = $2 } /^MinorSubsystemVersion/ { minor = $2 } END { print major "." minor }' <<<"$dump")
echo "subsystem version: $subsystem"
awk -v v="$subsystem" 'BEGIN { split(v, p, "."); exit !(p[1] * 100 + p[2] <= 501) }' ||
  fail "subsystem version $subsystem is newer than Windows XP's 5.1"

# Static constructors would never run.
symbols=$("$nm" "$dll" 2>/dev/null || true)
if [ -n "$symbols" ]; then
  ctors=$(grep -E '_GLOBAL__sub_[ID]_' <<<"$symbols" || true)
  [ -z "$ctors" ] || fail "static constructors or destructors: $ctors"
else
  echo "note: the DLL has no symbol table; the constructor check needs the unstripped DLL"
fi

# Size.
stripped=$(mktemp)
trap 'rm -f "$stripped"' EXIT
"$strip" -o "$stripped" "$dll"
size=$(stat -c %s "$dll") stripped_size=$(stat -c %s "$stripped")
echo "size: $size bytes, stripped $stripped_size bytes (limit 65536)"
((stripped_size <= 65536)) || fail "the stripped DLL is larger than 64 KiB"

# The fixed part of the version resource starts with the signature
# 0xFEEF04BD, then the structure version, then the file version as four
# 16-bit numbers (minor, major, build, patch in file order).
offset=$(grep -obUaP '\xbd\x04\xef\xfe' "$dll" | head -n 1 | cut -d: -f1 || true)
if [ -z "$offset" ]; then
  fail "no version resource"
else
  read -r minor major _build patch < <(od -An -tu2 -j $((offset + 8)) -N 8 "$stripped")
  echo "version resource: $major.$minor.$patch"
  [ "$major.$minor.$patch" = "$version" ] || fail "the version resource says $major.$minor.$patch, not $version"
  for key in FileDescription FileVersion ProductName ProductVersion LegalCopyright; do
    strings -el "$dll" | grep -qx "$key" || fail "the version resource has no $key"
  done
  strings -el "$dll" | grep -qx "$version" || fail "the version strings do not say $version"
fi

if ((failed)); then
  echo "check-win32-dll: $dll FAILED"
  exit 1
fi
echo "check-win32-dll: $dll passed"
