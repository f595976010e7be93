#!/usr/bin/env bash
# The shared object exports exactly the eight functions, has the right SONAME
# and links against nothing.
set -euo pipefail
so="$1"
fail() { echo "FAIL: $*" >&2; exit 1; }

expected="convert_std_sbus_data
encode_sbus_data_v1
encode_sbus_data_v2
parse_hid_compatible_device
parse_hid_game_controller_device
parse_port_data
request_upload_port_data
stop_upload_port_data"

dynamic=$(readelf -d "$so")
echo "$dynamic"
grep -q 'NEEDED' <<<"$dynamic" && fail "the shared object needs another library"
grep -q 'Library soname: \[libVandryInterface.so.1\]' <<<"$dynamic" || fail "SONAME is not libVandryInterface.so.1"

undefined=$(nm -D --undefined-only "$so")
[ -z "$undefined" ] || fail "undefined dynamic symbols: $undefined"

exported=$(nm -D --defined-only "$so" | awk '{print $3}' | sort)
[ "$exported" = "$expected" ] || fail "exports differ from the eight functions: $exported"
types=$(nm -D --defined-only "$so" | awk '{print $2}' | sort -u)
[ "$types" = "T" ] || fail "an export is not a global function: $types"

# No symbol versions either: the names are plain.
readelf --dyn-syms "$so" | grep -q '@' && fail "versioned symbols found"
echo "ok: $so exports the eight functions and links against nothing"
