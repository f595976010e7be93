#!/usr/bin/env bash
# Builds the Python wheel, which carries libVandryInterface.so.1 and
# libVandryStream.so.1 inside the package, so that pip install is all a user
# needs:
#   scripts/build-wheel.sh [BUILD_DIR [DIST_DIR]]    (default build/linux and dist)
# BUILD_DIR is a configured Linux build tree (cmake --preset linux); what the
# wheel needs is built in it first. Works offline: it uses the interpreter's
# own setuptools and wheel (Debian: python3-setuptools, python3-wheel).
set -euo pipefail
build="${1:-build/linux}" dist="${2:-dist}"
python="${PYTHON:-/usr/bin/python3}"
fail() { echo "build-wheel: $*" >&2; exit 1; }

[ -f "$build/CMakeCache.txt" ] || fail "$build is not a configured build tree (run: cmake --preset linux)"
"$python" -c 'import setuptools, wheel' 2>/dev/null \
  || fail "$python lacks setuptools or wheel (apt-get install python3-setuptools python3-wheel, or set PYTHON)"
cmake --build "$build" --target vandry_python_package >/dev/null || fail "cannot build the Python package in $build"

# pip builds in the folder it is given: a copy keeps the build tree clean.
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
cp -R "$build/python/." "$stage/"
mkdir -p "$dist"
"$python" -m pip wheel --quiet --no-build-isolation --no-deps --no-index --wheel-dir "$dist" "$stage" \
  || fail "pip wheel failed"
version=$(sed -n 's/^__version__ = "\(.*\)"$/\1/p' "$stage/vandry_interface/_version.py")
ls "$dist"/vandry_interface-"$version"-*.whl
