#!/usr/bin/env bash
# A DLL of this project exports the given functions by name with ordinals
# 1..N in the order given (alphabetical), imports only KERNEL32 and the C
# runtime, carries its version, and both import libraries name every
# function.
#   check_dll.sh OBJDUMP NM DLL MINGW_IMPORT_LIB MSVC_IMPORT_LIB VERSION FUNCTION...
set -euo pipefail
objdump="$1" nm="$2" dll="$3" mingw_import="$4" msvc_import="$5" version="$6"
shift 6
fail() { echo "FAIL: $*" >&2; exit 1; }

expected=$(printf '%s\n' "$@" | awk '{print NR, $0}')
[ "$(printf '%s\n' "$@" | LC_ALL=C sort)" = "$(printf '%s\n' "$@")" ] || fail "the expected names are not in alphabetical order"

dump=$("$objdump" -p "$dll")
base=$(sed -n 's/^Ordinal Base[[:space:]]*\([0-9]*\)$/\1/p' <<<"$dump")
[ "$base" = "1" ] || fail "ordinal base is '$base', not 1"
# Each row of the name table gives the ordinal's index from the base.
exports=$(sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p' <<<"$dump" |
          sed -n 's/^[[:space:]]*\[ *\([0-9]*\)\] \(.*\)$/\1 \2/p' |
          awk -v base="$base" '{print $1 + base, $2}')
echo "$exports"
[ "$exports" = "$expected" ] || fail "export table differs"
# The count is in the "Number in:" block; the same label gives an address below it.
count=$(sed -n '/^Number in:/,/^Table Addresses/s/^[[:space:]]*Export Address Table[[:space:]]*\([0-9a-fA-F]*\)$/\1/p' <<<"$dump")
[ "$((16#$count))" = "$#" ] || fail "export address table holds $count entries"

imports=$(sed -n 's/^[[:space:]]*DLL Name: \(.*\)$/\1/p' <<<"$dump" | tr 'A-Z' 'a-z' | sort -u)
echo "imports: $imports"
for dll_name in $imports; do
  case "$dll_name" in
    kernel32.dll|msvcrt.dll|ucrtbase.dll|api-ms-win-crt-*.dll) ;;
    *) fail "unexpected import $dll_name" ;;
  esac
done
grep -qx 'kernel32.dll' <<<"$imports" || fail "KERNEL32 is not imported"

for lib in "$mingw_import" "$msvc_import"; do
  [ -s "$lib" ] || fail "import library $lib is missing"
  names=$("$nm" "$lib" | sed -n 's/^.* [T] \(.*\)$/\1/p' | sort -u)
  for fn in "$@"; do
    grep -qx "$fn" <<<"$names" || fail "$lib does not define $fn"
  done
done
# The version resource carries the header's version.
resource=$(strings -el "$dll")
grep -qx 'FileVersion' <<<"$resource" || fail "no version resource"
grep -qx "$version" <<<"$resource" || fail "the version resource does not say $version"
echo "ok: $dll"
