#!/usr/bin/env python3
"""Runs the benchmark program and prints each parser figure next to its floor,
then each SBUS export's cost next to an empty exported call.

Usage: bench/compare.py BUILD_DIR/bench/vandry_bench [benchmark options...]
"""
import json
import pathlib
import statistics
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
    sbus_section(pathlib.Path(sys.argv[1]).with_name("vandry_sbus_bench"))
    return 0


def sbus_section(program: pathlib.Path, repetitions: int = 9) -> None:
    """Each SBUS export's cost as a ratio to an empty exported call, from one
    run of the SBUS benchmark. Repetitions are interleaved at random, so that
    a noisy neighbour slows every benchmark alike; the median is taken."""
    out = subprocess.run(
        [str(program), "--benchmark_format=json",
         f"--benchmark_repetitions={repetitions}",
         "--benchmark_enable_random_interleaving=true"],
        check=True, capture_output=True, text=True).stdout
    times = {}
    for b in json.loads(out)["benchmarks"]:
        if b.get("run_type") == "iteration":
            times.setdefault(b["run_name"], []).append(b["cpu_time"])
    median = {name: statistics.median(t) for name, t in times.items()}
    empty = median["BM_EmptyExport"]
    print(f"empty exported call: {empty:.2f} ns")
    for name, label in (("BM_EncodeSbusV1", "encode_sbus_data_v1"),
                        ("BM_EncodeSbusV2", "encode_sbus_data_v2"),
                        ("BM_ConvertSbus", "convert_std_sbus_data")):
        print(f"{label:22s} {median[name]:6.2f} ns, {median[name] / empty:4.2f} x the empty call")


if __name__ == "__main__":
    sys.exit(main())
