#!/usr/bin/env python3
"""Runs the benchmark program and prints each parser figure next to its floor.

Usage: bench/compare.py BUILD_DIR/bench/vandry_bench [benchmark options...]
"""
import json
import subprocess
import sys


def main() -> int:
    if len(sys.argv) < 2:
        print(__doc__, file=sys.stderr)
        return 2
    out = subprocess.run(
        [sys.argv[1], "--benchmark_format=json", *sys.argv[2:]],
        check=True, capture_output=True, text=True).stdout
    results = {b["name"]: b for b in json.loads(out)["benchmarks"]
               if b.get("run_type", "iteration") == "iteration"}
    for chunk in (64, 255):
        parser = results[f"BM_ParsePortData/{chunk}"]["bytes_per_second"]
        floor = results[f"BM_Floor/{chunk}"]["bytes_per_second"]
        print(f"chunk {chunk:3d}: parse_port_data {parser / 1e6:8.1f} MB/s, "
              f"floor {floor / 1e6:8.1f} MB/s, ratio {parser / floor:.2f}")
    for name in ("BM_EncodeSbusV1", "BM_EncodeSbusV2", "BM_ConvertSbus"):
        b = results[name]
        print(f"{name}: {b['cpu_time']:.2f} {b['time_unit']} per call")
    return 0


if __name__ == "__main__":
    sys.exit(main())
