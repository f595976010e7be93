#!/usr/bin/env bash
# The demo: builds the Linux library and vandry-monitor, then runs the
# monitor for a few seconds against its built-in simulated device.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh linux
cmake --preset linux >/dev/null
cmake --build --preset linux --target vandry-monitor
exec build/linux/tools/vandry-monitor --seconds "${VANDRY_DEMO_SECONDS:-5}"
