#!/usr/bin/env bash
# The Debian packages, checked the ways a distribution and its users meet them.
#   check_debian_packages.sh make     BUILD_DIR DEB_DIR             makes the four packages
#   check_debian_packages.sh install  BUILD_DIR DEB_DIR SOURCE_DIR  control data, contents, dpkg
#                                                                   into a scratch root, C hosts
#   check_debian_packages.sh lintian  BUILD_DIR DEB_DIR             no lintian error
set -euo pipefail
mode="$1" build="$2" debs="$3" source="${4:-}"
fail() { echo "FAIL: $*" >&2; exit 1; }
export PATH="$PATH:/usr/sbin:/sbin"  # dpkg wants ldconfig on the PATH

runtime=libvandryinterface1 stream=libvandrystream1 dev=libvandryinterface-dev tools=vandry-tools
ours="$runtime $stream $dev $tools"
deb() { ls "$debs"/"$1"_*.deb; }

make_packages() {
  rm -rf "$debs"
  (cd "$build" && cpack -G DEB -B "$debs" >/dev/null) || fail "cpack -G DEB failed"
  for p in $ours; do deb "$p" >/dev/null || fail "no package $p"; done
  ls -l "$debs"/*.deb
}

lintian_check() {
  local report
  report=$(lintian --tag-display-limit 0 --show-overrides "$debs"/*.deb 2>&1 | grep -v 'running with root privileges') \
    || true
  echo "$report"
  ! grep -q '^E:' <<<"$report" || fail "lintian reports errors"
}

field() { dpkg-deb -f "$(deb "$1")" "$2"; }
files_of() { dpkg-deb -c "$(deb "$1")" | awk '$1 !~ /^d/ {print $6}' | sed 's|^\./||' | sort; }

check_control() {
  local version license_holder
  version=$(zcat "$build/debian/changelog.Debian.gz" | sed -n '1s/^[^ ]* (\([^)]*\)).*/\1/p')
  [ "${version%-*}" = "$(sed -n 's/^#define VANDRY_INTERFACE_VERSION_\(MAJOR\|MINOR\|PATCH\) \([0-9]*\)$/\2/p' \
      "$source/include/VandryInterface.h" | paste -sd.)" ] || fail "the changelog's newest entry $version is not the library's version"
  license_holder=$(sed -n 's/^Copyright (c) //p' "$source/LICENSE")
  # package         section   runtime dependency
  while read -r p section needs_runtime; do
    echo "-- $p"
    [ "$(field "$p" Version)" = "$version" ] || fail "$p: version $(field "$p" Version), changelog says $version"
    [ "$(field "$p" Section)" = "$section" ] || fail "$p: section $(field "$p" Section), not $section"
    [ "$(field "$p" Priority)" = optional ] || fail "$p: priority is not optional"
    [ "$(field "$p" Description | wc -l)" -ge 3 ] || fail "$p: no extended description"
    if [ "$needs_runtime" = yes ]; then
      grep -qF "$runtime (= $version)" <<<"$(field "$p" Depends)" || fail "$p does not depend on $runtime (= $version)"
    fi
    local doc="usr/share/doc/$p"
    dpkg-deb --fsys-tarfile "$(deb "$p")" | tar -xOf - "./$doc/copyright" >"$work/copyright"
    grep -q '^Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/$' "$work/copyright" \
      || fail "$p: copyright is not machine-readable"
    grep -qxF "Copyright: $license_holder" "$work/copyright" || fail "$p: copyright does not name $license_holder"
    grep -qx 'License: Expat' "$work/copyright" || fail "$p: copyright does not give the MIT (Expat) licence"
    dpkg-deb --fsys-tarfile "$(deb "$p")" | tar -xOf - "./$doc/changelog.Debian.gz" | gzip -t \
      || fail "$p: no valid changelog.Debian.gz"
    ! files_of "$p" | grep '^usr/share/man/' | grep -v '\.gz$' || fail "$p: uncompressed manual pages"
  done <<EOF
$runtime libs no
$stream libs no
$dev libdevel yes
$tools utils yes
EOF

  # Each runtime package holds its library and nothing else; it needs nothing.
  local library
  for pair in $runtime:libVandryInterface $stream:libVandryStream; do
    p=${pair%%:*} library=${pair#*:}
    [ "$(files_of "$p" | grep -v "^usr/share/\(doc\|lintian\)/")" = "$(printf '%s\n' \
        "usr/lib/$library.so.1" "usr/lib/$library.so.${version%-*}")" ] \
      || fail "$p holds more or less than the shared library: $(files_of "$p")"
    [ -z "$(field "$p" Depends)" ] || fail "$p depends on something: $(field "$p" Depends)"
    dpkg-deb --ctrl-tarfile "$(deb "$p")" | tar -xOf - ./triggers | grep -qx 'activate-noawait ldconfig' \
      || fail "$p does not trigger ldconfig"
  done
  grep -qF "$stream (= $version)" <<<"$(field "$dev" Depends)" || fail "$dev does not depend on $stream (= $version)"
  # Every library of ours that a tool loads comes with its package.
  local needed
  dpkg-deb -x "$(deb "$tools")" "$work/tools-files"
  for needed in $(readelf -d "$work"/tools-files/usr/bin/* | sed -n 's/.*(NEEDED).*\[\(libVandry[A-Za-z]*\)\.so\.1\]$/\1/p' | sort -u); do
    case "$needed" in
      libVandryInterface) p=$runtime ;;
      libVandryStream) p=$stream ;;
      *) fail "$tools needs $needed.so.1, which no package of ours holds" ;;
    esac
    grep -qF "$p (= $version)" <<<"$(field "$tools" Depends)" || fail "$tools loads $needed.so.1 but does not depend on $p (= $version)"
  done
  # The tools' other libraries come from dpkg-shlibdeps.
  for lib in libc6 libstdc++6; do
    grep -q "\b$lib (>= " <<<"$(field "$tools" Depends)" || fail "$tools does not depend on $lib"
  done
  # Every package holds exactly what its component installs.
  local component p
  for pair in Runtime:$runtime StreamRuntime:$stream Development:$dev Tools:$tools; do
    component=${pair%%:*} p=${pair#*:}
    cmake --install "$build" --component "$component" --prefix "$work/components/$component" >/dev/null
    # (manual pages are compressed on the way into a package)
    [ "$(cd "$work/components/$component" && find . ! -type d | sed -e 's|^\./|usr/|' \
          -e '/^usr\/share\/man\//{/\.gz$/!s/$/.gz/}' | sort)" = "$(files_of "$p")" ] \
      || fail "$p does not hold exactly the $component component"
  done
  files_of "$dev" | grep -qx usr/include/VandryInterface.h || fail "$dev lacks the header"
  files_of "$tools" | grep -qx usr/bin/vandry-monitor || fail "$tools lacks vandry-monitor"
  # Nothing is installed outside the packages' components.
  cmake --install "$build" --component Unspecified --prefix "$work/unspecified" >/dev/null
  [ ! -e "$work/unspecified" ] || fail "install rules without a COMPONENT: $(find "$work/unspecified" ! -type d)"
}

# A scratch root whose dpkg database holds the system packages ours depend
# on, as this machine has them, so that dpkg checks every dependency.
new_root() {
  local root="$1" dep
  mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates" "$root/var/lib/dpkg/triggers"
  touch "$root/var/lib/dpkg/status" "$root/var/lib/dpkg/available"
  for dep in $(for p in $ours; do field "$p" Depends; done | tr ',' '\n' | sed 's/^ *\([^ ]*\).*/\1/' | sort -u); do
    case " $ours " in *" $dep "*) continue ;; esac
    dpkg-query -s "$dep" >>"$root/var/lib/dpkg/status" || fail "$dep is not installed on this machine"
    echo >>"$root/var/lib/dpkg/status"
    touch "$root/var/lib/dpkg/info/$(dpkg-query -W -f='${binary:Package}' "$dep").list"
  done
}
dpkg_in() { dpkg --root="$1" --force-not-root "${@:2}"; }

check_install() {
  echo "-- a package whose dependency is missing is refused"
  for p in $dev $tools; do
    new_root "$work/alone-$p"
    if dpkg_in "$work/alone-$p" -i "$(deb "$p")" >/dev/null 2>&1; then fail "$p installed without $runtime"; fi
  done

  echo "-- dpkg -i of all four into a scratch root"
  local root="$work/root"
  new_root "$root"
  dpkg_in "$root" -i "$(deb "$runtime")" "$(deb "$stream")" "$(deb "$dev")" "$(deb "$tools")" >/dev/null
  for p in $ours; do
    dpkg_in "$root" -s "$p" | grep -qx 'Status: install ok installed' || fail "$p is not installed"
  done

  echo "-- a C host built with pkg-config"
  local cflags
  cflags=$(PKG_CONFIG_SYSROOT_DIR="$root" PKG_CONFIG_LIBDIR="$root/usr/lib/pkgconfig" pkg-config --cflags VandryInterface | sed 's/ *$//')
  [ "$cflags" = "-I$root/usr/include" ] || fail "pkg-config --cflags gives '$cflags', not -I$root/usr/include"
  # shellcheck disable=SC2046
  cc -std=c99 -Wall -Wextra -Wpedantic -Werror $cflags "$source/tests/header_c99_test.c" \
     $(PKG_CONFIG_SYSROOT_DIR="$root" PKG_CONFIG_LIBDIR="$root/usr/lib/pkgconfig" pkg-config --libs VandryInterface) \
     -o "$work/pc-host"
  LD_LIBRARY_PATH="$root/usr/lib" "$work/pc-host"

  echo "-- a C host built with find_package"
  cmake -S "$source/tests/consumer/host" -B "$work/cmake-host" -G Ninja -DCMAKE_PREFIX_PATH="$root/usr" >/dev/null
  cmake --build "$work/cmake-host" >/dev/null
  LD_LIBRARY_PATH="$root/usr/lib" "$work/cmake-host/consumer"

  echo "-- the installed monitor runs against the installed library"
  "$root/usr/bin/vandry-monitor" --frames 2 --json | grep -c '"update"' | grep -qx 2 \
    || fail "vandry-monitor from the package did not report two updates"
}

case "$mode" in
  make) make_packages ;;
  lintian) lintian_check ;;
  install)
    work=$(mktemp -d)
    trap 'rm -rf "$work"' EXIT
    check_control
    check_install ;;
  *) fail "unknown mode $mode" ;;
esac
echo "ok: Debian packages ($mode)"
