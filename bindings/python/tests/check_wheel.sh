#!/usr/bin/env bash
# The wheel as a user gets it: built by scripts/build-wheel.sh, installed
# with pip into a fresh venv without the network, imported (and a Stream
# made) with no environment variable, and the binding's tests run against it.
#   check_wheel.sh BUILD_DIR SOURCE_DIR PYTHON
set -euo pipefail
build=$(cd "$1" && pwd) source=$(cd "$2" && pwd) python="$3"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
version=$(sed -n 's/^#define VANDRY_INTERFACE_VERSION_\(MAJOR\|MINOR\|PATCH\) \([0-9]*\)$/\2/p' \
  "$source/include/VandryInterface.h" | paste -sd.)

echo "-- build"
wheel=$(PYTHON="$python" "$source/scripts/build-wheel.sh" "$build" "$work/dist")
echo "$wheel"
[ "$(basename "$wheel")" = "vandry_interface-$version-py3-none-linux_x86_64.whl" ] || fail "unexpected wheel name $wheel"
"$python" - "$wheel" <<'PY' || fail "the wheel lacks a library or the licence"
import sys, zipfile
names = zipfile.ZipFile(sys.argv[1]).namelist()
assert "vandry_interface/libVandryInterface.so.1" in names, names
assert "vandry_interface/libVandryStream.so.1" in names, names
assert any(n.endswith(".dist-info/LICENSE") for n in names), names
PY

echo "-- pip install --no-index into a fresh venv"
"$python" -m venv "$work/venv"
"$work/venv/bin/python" -m pip install --quiet --no-index --no-deps "$wheel"

echo "-- import with no environment variable, from another folder"
cd "$work"
clean_env=(env -u VANDRY_INTERFACE_LIBRARY -u VANDRY_STREAM_LIBRARY -u LD_LIBRARY_PATH -u PYTHONPATH)
"${clean_env[@]}" "$work/venv/bin/python" - "$version" <<'PY'
import os, sys, vandry_interface as vi
assert vi.__version__ == sys.argv[1], vi.__version__
site = os.path.dirname(vi.__file__)
assert site.startswith(sys.prefix), site
assert os.path.dirname(vi._lib._name) == site, vi._lib._name
assert vi.stop_upload_port_data() == bytes.fromhex("FAE400005F")
stream = vi.Stream()
assert os.path.dirname(stream._lib._name) == site, stream._lib._name
frame = bytes.fromhex("FAA51F0000") + bytes(range(30)) + b"\x5f"
assert stream.feed(frame) == [(0, tuple(b | (b + 1) << 8 for b in range(0, 30, 2)), None)], stream.feed(frame)
print("imported", vi.__version__, "from", site, "with Stream")
PY

echo "-- the binding's tests against the installed wheel"
if ! "${clean_env[@]}" "$work/venv/bin/python" -m unittest discover -s "$source/bindings/python/tests" \
     >"$work/unittest.log" 2>&1; then
  cat "$work/unittest.log"
  fail "the binding's tests fail against the installed wheel"
fi
tail -n 3 "$work/unittest.log"
