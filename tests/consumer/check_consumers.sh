#!/usr/bin/env bash
# Installs or packages the library, then builds and runs small C99 hosts
# against it the ways users do.
#   check_consumers.sh linux   BUILD_DIR SOURCE_DIR   install, find_package, pkg-config, TGZ
#                                                    (the Debian packages: check_debian_packages.sh)
#   check_consumers.sh windows BUILD_DIR SOURCE_DIR   the ZIP SDK, find_package and the MSVC .lib, under Wine
set -euo pipefail
mode="$1" build="$2" source="$3"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
consumer_c="$source/tests/header_c99_test.c"
version=$(sed -n 's/^#define VANDRY_INTERFACE_VERSION_\(MAJOR\|MINOR\|PATCH\) \([0-9]*\)$/\2/p' "$source/include/VandryInterface.h" | paste -sd.)

expect_files() {  # listing, then the paths it must hold
  local listing="$1"; shift
  for f in "$@"; do grep -q -- "$f\$" <<<"$listing" || fail "package lacks $f"; done
}

linux() {
  cmake --install "$build" --prefix "$work/prefix" >/dev/null
  echo "-- find_package consumer"
  cmake -S "$source/tests/consumer/host" -B "$work/cmake" -G Ninja -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
  cmake --build "$work/cmake" >/dev/null
  "$work/cmake/consumer"
  echo "-- find_package refuses another major version"
  if cmake -S "$source/tests/consumer/host" -B "$work/cmake2" -G Ninja -DCMAKE_PREFIX_PATH="$work/prefix" \
       -DVANDRY_WANTED_VERSION=2 >/dev/null 2>&1; then fail "find_package(VandryInterface 2) succeeded"; fi

  echo "-- pkg-config consumer: the prefix as installed, normalised"
  export PKG_CONFIG_PATH="$work/prefix/lib/pkgconfig"
  [ "$(pkg-config --modversion VandryInterface)" = "$version" ] || fail "pkg-config version is not $version"
  [ "$(pkg_flags --cflags)" = "-I$work/prefix/include" ] || fail "pkg-config --cflags gives '$(pkg_flags --cflags)'"
  pc_host "$work/pc-consumer"

  echo "-- TGZ: unpacked anywhere, the .pc finds its prefix"
  (cd "$build" && cpack -G TGZ -B "$work/packages" >/dev/null)
  local tgz
  tgz=$(ls "$work"/packages/*.tar.gz)
  expect_files "$(tar tzf "$tgz")" include/VandryInterface.h lib/libVandryInterface.so.1 \
    lib/pkgconfig/VandryInterface.pc lib/cmake/VandryInterface/VandryInterfaceConfig.cmake \
    share/doc/VandryInterface/LICENSE bin/vandry-monitor
  mkdir "$work/unpacked" && tar xzf "$tgz" -C "$work/unpacked"
  PKG_CONFIG_PATH=$(echo "$work"/unpacked/*/lib/pkgconfig)
  pc_host "$work/tgz-consumer"
  [ "$(pkg_flags --define-prefix --cflags)" = "-I$(dirname "$(dirname "$PKG_CONFIG_PATH")")/include" ] \
    || fail "pkg-config --define-prefix does not give the unpacked folder"
}

pkg_flags() { pkg-config "$@" VandryInterface | sed 's/ *$//'; }

pc_host() {  # builds and runs the C host with the flags pkg-config gives
  local libdir
  libdir=$(pkg-config --variable=libdir VandryInterface)
  # shellcheck disable=SC2046
  cc -std=c99 -Wall -Wextra -Wpedantic -Werror $(pkg-config --cflags VandryInterface) "$consumer_c" \
     $(pkg-config --libs VandryInterface) -Wl,-rpath,"$libdir" -o "$1"
  "$1"
}

windows() {
  echo "-- ZIP SDK"
  (cd "$build" && cpack -B "$work/packages" >/dev/null)
  local zip root
  zip=$(ls "$work"/packages/*.zip)
  (cd "$work" && cmake -E tar xf "$zip")
  root="$work/$(basename "$zip" .zip)"
  # The README's MSVC and cross-building examples name this folder.
  [ "$(basename "$root")" = "VandryInterface-$version-win64-sdk" ] || fail "the SDK unpacks to $(basename "$root")"
  expect_files "$(cd "$root" && find . -type f)" bin/VandryInterface.dll lib/VandryInterface.dll.a \
    lib/VandryInterface.lib lib/VandryInterface.def include/VandryInterface.h ./README.md ./LICENSE \
    bin/vandry-monitor.exe
  for binary in "$root"/bin/*; do
    ! x86_64-w64-mingw32-objdump -h "$binary" | grep -q '\.debug_' || fail "$(basename "$binary") ships its debug sections"
  done

  echo "-- vandry-monitor.exe runs from the SDK, beside the DLL, and needs nothing else"
  "$build/wine-run.sh" "$root/bin/vandry-monitor.exe" --version >"$work/version.txt" 2>&1
  grep -q "^vandry-monitor (VandryInterface $version)" "$work/version.txt" || fail "vandry-monitor.exe --version: $(cat "$work/version.txt")"
  local imports
  imports=$(x86_64-w64-mingw32-objdump -p "$root/bin/vandry-monitor.exe" | sed -n 's/^\tDLL Name: //p' | sort -f | paste -sd' ')
  for ours in VandryInterface.dll VandryStream.dll; do
    grep -q "$ours" <<<"$imports" || fail "vandry-monitor.exe does not load $ours: $imports"
  done
  for dll in $imports; do
    case "$dll" in
      VandryInterface.dll|VandryStream.dll|ADVAPI32.dll|KERNEL32.dll|msvcrt.dll|WINMM.dll|WS2_32.dll) ;;
      *) fail "vandry-monitor.exe needs $dll, which Windows does not have" ;;
    esac
  done

  echo "-- find_package consumer, cross-built against the SDK"
  cmake -S "$source/tests/consumer/host" -B "$work/cmake" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$source/cmake/mingw-w64-x86_64.cmake" -DCMAKE_PREFIX_PATH="$root" >/dev/null
  cmake --build "$work/cmake" >/dev/null
  cp "$root/bin/VandryInterface.dll" "$work/cmake/"
  "$build/wine-run.sh" "$work/cmake/consumer.exe"

  echo "-- consumer linked against the MSVC import library"
  x86_64-w64-mingw32-gcc -std=c99 -Wall -Wextra -Wpedantic -Werror -I"$root/include" "$consumer_c" \
    "$root/lib/VandryInterface.lib" -o "$work/cmake/lib-consumer.exe"
  "$build/wine-run.sh" "$work/cmake/lib-consumer.exe"
}

"$mode"
echo "ok: $mode consumers"
