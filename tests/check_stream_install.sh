#!/usr/bin/env bash
# VandryStream as it is installed: what each component holds, and C89 hosts
# built against it through find_package (shared and static) and pkg-config.
#   check_stream_install.sh linux   BUILD_DIR SOURCE_DIR   cmake --install, per component and whole
#   check_stream_install.sh windows BUILD_DIR SOURCE_DIR   the SDK ZIP, hosts run under Wine
set -euo pipefail
mode="$1" build="$2" source="$3"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
host_c="$source/tests/stream_header_test.c"

files_of() { (cd "$1" && find . \( -type f -o -type l \) | sed 's|^\./||' | sort); }
expect() {  # listing, then the paths it must hold
  local listing="$1"; shift
  for f in "$@"; do grep -qx -- "$f" <<<"$listing" || fail "missing $f in: $listing"; done
}
refuse() {  # listing, then a pattern it must not match
  ! grep -q -- "$2" <<<"$1" || fail "unexpected $(grep -- "$2" <<<"$1" | head -1)"
}

linux() {
  cmake --install "$build" --prefix "$work/runtime" --component StreamRuntime >/dev/null
  local runtime
  runtime=$(files_of "$work/runtime")
  expect "$runtime" lib/libVandryStream.so.1
  refuse "$runtime" 'VandryStream\.h\|libVandryStream\.a\|libVandryStream\.so$\|VandryStream\.pc\|VandryInterface'
  cmake --install "$build" --prefix "$work/dev" --component Development >/dev/null
  local dev
  dev=$(files_of "$work/dev")
  expect "$dev" include/VandryStream.h lib/libVandryStream.so lib/libVandryStream.a lib/pkgconfig/VandryStream.pc
  refuse "$dev" 'libVandryStream\.so\.1'

  cmake --install "$build" --prefix "$work/prefix" >/dev/null
  echo "-- find_package hosts, shared and static"
  cmake -S "$source/tests/stream_consumer" -B "$work/cmake" -G Ninja -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
  cmake --build "$work/cmake" >/dev/null
  "$work/cmake/stream_consumer_shared"
  "$work/cmake/stream_consumer_static"
  readelf -d "$work/cmake/stream_consumer_static" | grep -q 'libVandryStream' && fail "the static host needs the shared library"

  echo "-- pkg-config host"
  export PKG_CONFIG_PATH="$work/prefix/lib/pkgconfig"
  local libdir
  libdir=$(pkg-config --variable=libdir VandryStream)
  # shellcheck disable=SC2046
  cc -std=c89 -Wall -Wextra -Wpedantic -Werror $(pkg-config --cflags VandryStream) "$host_c" \
     $(pkg-config --libs VandryStream) -Wl,-rpath,"$libdir" -o "$work/pc-host"
  "$work/pc-host"
}

windows() {
  echo "-- the SDK ZIP"
  (cd "$build" && cpack -G ZIP -B "$work/packages" >/dev/null)
  local zip root
  zip=$(ls "$work"/packages/*.zip)
  (cd "$work" && cmake -E tar xf "$zip")
  root="$work/$(basename "$zip" .zip)"
  expect "$(files_of "$root")" bin/VandryStream.dll lib/VandryStream.dll.a lib/VandryStream.lib lib/VandryStream.def \
    lib/libVandryStream.a include/VandryStream.h lib/pkgconfig/VandryStream.pc

  echo "-- find_package hosts, cross-built against the SDK"
  cmake -S "$source/tests/stream_consumer" -B "$work/cmake" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$source/cmake/mingw-w64-x86_64.cmake" -DCMAKE_PREFIX_PATH="$root" >/dev/null
  cmake --build "$work/cmake" >/dev/null
  cp "$root/bin/VandryStream.dll" "$work/cmake/"
  "$build/wine-run.sh" "$work/cmake/stream_consumer_shared.exe"
  "$build/wine-run.sh" "$work/cmake/stream_consumer_static.exe"

  echo "-- host linked against the MSVC import library"
  x86_64-w64-mingw32-gcc -std=c89 -Wall -Wextra -Wpedantic -Werror -I"$root/include" "$host_c" \
    "$root/lib/VandryStream.lib" -o "$work/cmake/lib-host.exe"
  "$build/wine-run.sh" "$work/cmake/lib-host.exe"
}

"$mode"
echo "ok: VandryStream installs ($mode)"
