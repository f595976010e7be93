#!/usr/bin/env bash
# Builds both libraries for both systems and prints the functions each one exports.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
for preset in linux windows; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" --target VandryInterface VandryStream >/dev/null
done
for library in VandryInterface VandryStream; do
  echo "build/linux/lib$library.so exports:"
  nm -D --defined-only "build/linux/lib$library.so" | awk '{print "  " $3}'
  echo "build/windows/bin/$library.dll exports (ordinal name):"
  x86_64-w64-mingw32-objdump -p "build/windows/bin/$library.dll" |
    sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p' |
    sed -n 's/^[[:space:]]*\[ *\([0-9]*\)\] \(.*\)$/\1 \2/p' | awk '{print "  " $1 + 1, $2}'
done
