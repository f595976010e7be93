#!/usr/bin/env bash
# A static library of this project defines the given functions and needs
# nothing from elsewhere: no C library, no compiler runtime.
#   check_static_library.sh NM LIBRARY FUNCTION...
set -euo pipefail
nm="$1" lib="$2"
shift 2
fail() { echo "FAIL: $*" >&2; exit 1; }

[ -s "$lib" ] || fail "$lib is missing"
functions=$("$nm" --defined-only "$lib" | awk '$2 == "T" {print $3}' | sort -u)
for fn in "$@"; do
  grep -qx "$fn" <<<"$functions" || fail "$lib does not define $fn"
done
# What one member uses and no member defines would come from elsewhere.
defined=$("$nm" --defined-only "$lib" | awk 'NF == 3 {print $3}' | sort -u)
used=$("$nm" --undefined-only "$lib" | awk 'NF && $NF !~ /:$/ {print $NF}' | sort -u)
missing=$(comm -23 <(echo "$used") <(echo "$defined") | sed '/^$/d')
[ -z "$missing" ] || fail "$lib needs symbols from elsewhere: $missing"
echo "ok: $lib defines the $# functions and needs nothing else"
