#!/usr/bin/env bash
# Installs the Debian packages that the build and the tests need, where they
# are missing. Runs apt-get only when something is missing; needs root then.
#   install-deps.sh          everything: both builds, the tests, Wine
#   install-deps.sh linux    what the linux preset alone needs (the demo)
set -euo pipefail

packages=(cmake ninja-build gcc g++ binutils python3 googletest libgtest-dev libbenchmark-dev)
if [ "${1:-all}" != linux ]; then
  packages+=(clang libclang-rt-14-dev g++-mingw-w64-x86-64-win32 binutils-mingw-w64-x86-64 wine64 pkg-config file)
  # The Debian packages and their checks; the Python wheel and its venv test.
  packages+=(dpkg-dev lintian python3-setuptools python3-wheel python3-venv python3-pip python3-numpy)
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: all packages present"
  exit 0
fi

echo "install-deps: installing ${missing[*]}"
if [ "$(id -u)" -ne 0 ]; then
  if command -v sudo >/dev/null 2>&1; then SUDO=sudo; else
    echo "install-deps: missing packages and not root: ${missing[*]}" >&2
    exit 1
  fi
else
  SUDO=
fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq "${missing[@]}"
