#!/usr/bin/env bash
# A shared object of this project exports exactly the given functions, has
# the given SONAME and links against nothing.
#   check_shared_object.sh LIBRARY SONAME FUNCTION...
set -euo pipefail
so="$1" soname="$2"
shift 2
fail() { echo "FAIL: $*" >&2; exit 1; }

expected=$(printf '%s\n' "$@" | sort)

dynamic=$(readelf -d "$so")
echo "$dynamic"
grep -q 'NEEDED' <<<"$dynamic" && fail "the shared object needs another library"
grep -q "Library soname: \[$soname\]" <<<"$dynamic" || fail "SONAME is not $soname"

undefined=$(nm -D --undefined-only "$so")
[ -z "$undefined" ] || fail "undefined dynamic symbols: $undefined"

exported=$(nm -D --defined-only "$so" | awk '{print $3}' | sort)
[ "$exported" = "$expected" ] || fail "exports differ from the $# functions: $exported"
types=$(nm -D --defined-only "$so" | awk '{print $2}' | sort -u)
[ "$types" = "T" ] || fail "an export is not a global function: $types"

# No symbol versions either: the names are plain.
readelf --dyn-syms "$so" | grep -q '@' && fail "versioned symbols found"
echo "ok: $so exports the $# functions and links against nothing"
