#!/usr/bin/env bash
# A shared object, stripped of everything a loader does not need, stays
# within its size budget.
#   check_stripped_size.sh STRIP LIBRARY BUDGET_BYTES
set -euo pipefail
strip_tool="$1" library="$2" budget="$3"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$strip_tool" --strip-all -o "$work/stripped" "$library"
size=$(stat -c %s "$work/stripped")
echo "$library: $size bytes stripped, budget $budget"
if [ "$size" -gt "$budget" ]; then
  echo "FAIL: $library is $size bytes stripped, over its budget of $budget" >&2
  exit 1
fi
