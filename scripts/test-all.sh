#!/usr/bin/env bash
# Runs every test: installs what is missing, builds the linux, windows and
# sanitize presets, runs their tests (the Windows ones under Wine), checks the
# library built with hardening flags, then runs the fuzzer for a bounded
# time. Ends with one line: N passed, N failed.
set -uo pipefail
cd "$(dirname "$0")/.."

fuzz_seconds="${VANDRY_FUZZ_SECONDS:-60}"
passed=0
failed=0
failures=()

step() { echo; echo "=== $*"; }
record() {  # name, exit status
  if [ "$2" -eq 0 ]; then passed=$((passed + 1)); else failed=$((failed + 1)); failures+=("$1"); fi
}
stop_wine() {  # the Wine server of the test prefix outlives the tests otherwise
  local server
  for server in /usr/lib/wine/wineserver64 wineserver; do
    if command -v "$server" >/dev/null 2>&1; then
      WINEPREFIX="$PWD/build/windows/wineprefix" "$server" -k 2>/dev/null || true
      return
    fi
  done
}
trap stop_wine EXIT

step "installing missing packages"
scripts/install-deps.sh || { echo "cannot install the build's packages"; exit 1; }

run_preset() {
  local preset="$1"
  step "preset $preset: configure and build"
  if ! cmake --preset "$preset" >"build/$preset.build.log" 2>&1 || ! cmake --build --preset "$preset" >>"build/$preset.build.log" 2>&1; then
    cat "build/$preset.build.log"
    record "build $preset" 1
    return
  fi
  rm -f "build/$preset.build.log"
  if [ "$preset" = windows ]; then
    build/windows/wine-run.sh wineboot --init >/dev/null 2>&1 || true
  fi
  step "preset $preset: tests"
  local log="build/$preset/ctest.log"
  ctest --preset "$preset" 2>&1 | tee "$log"
  local status=${PIPESTATUS[0]}
  local line
  line=$(grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' "$log" | tail -n 1)
  if [ -n "$line" ]; then
    local total bad
    total=$(sed -E 's/.*out of ([0-9]+).*/\1/' <<<"$line")
    bad=$(sed -E 's/.*passed, ([0-9]+) tests failed.*/\1/' <<<"$line")
    passed=$((passed + total - bad))
    failed=$((failed + bad))
    [ "$bad" -gt 0 ] && failures+=("ctest $preset")
  fi
  if [ "$status" -ne 0 ] && [ -z "$line" ]; then record "ctest $preset" 1; fi
}

# The library as distributions build it: their hardening flags in CFLAGS,
# CXXFLAGS and LDFLAGS (the preset sets them), and still linking nothing.
check_hardened() {
  step "preset hardened: both libraries under the distributions' hardening flags"
  local log=build/hardened.log
  if cmake --preset hardened >"$log" 2>&1 &&
     cmake --build --preset hardened --target VandryInterface VandryStream >>"$log" 2>&1 &&
     ctest --preset hardened -R '^(stream_)?shared_object_' >>"$log" 2>&1; then
    grep -E 'Test +#' "$log"
    record "hardened build" 0
  else
    cat "$log"
    record "hardened build" 1
  fi
}

mkdir -p build
run_preset linux
check_hardened
run_preset windows
run_preset sanitize

# Each target fuzzes from its committed corpus plus what earlier runs found
# (build/sanitize/fuzz-corpus/TARGET); a crash is kept in fuzz-artifacts.
fuzz_target() {  # name, seconds, committed corpus
  local fuzzer="build/sanitize/fuzz/$1" work="build/sanitize/fuzz-corpus/$1"
  step "fuzzing $1 for $2s"
  if [ ! -x "$fuzzer" ]; then
    record "fuzzing $1 (not built)" 1
    return
  fi
  mkdir -p "$work" build/sanitize/fuzz-artifacts
  "$fuzzer" -max_total_time="$2" -max_len=4096 -print_final_stats=1 \
    -artifact_prefix="build/sanitize/fuzz-artifacts/$1-" "$work" "$3" 2>&1 | tail -n 20
  record "fuzzing $1" "${PIPESTATUS[0]}"
}
# The parser gets the full time; the others, smaller and quicker to cover,
# a quarter each.
fuzz_target port_parser_fuzz "$fuzz_seconds" fuzz/corpus
quarter=$(( (fuzz_seconds + 3) / 4 ))
fuzz_target stream_fuzz "$quarter" fuzz/stream_corpus
fuzz_target capture_fuzz "$quarter" fuzz/capture_corpus
fuzz_target channel_map_fuzz "$quarter" fuzz/channel_map_corpus

echo
if [ ${#failures[@]} -gt 0 ]; then printf 'failed: %s\n' "${failures[@]}"; fi
echo "all: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
