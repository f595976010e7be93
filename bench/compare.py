#!/usr/bin/env python3
"""Runs the benchmark program once and prints each figure of the port parser
next to its comparator, as ratios measured in that one run; then each SBUS
export's cost next to an empty exported call, from the SBUS benchmark.

Usage: bench/compare.py BUILD_DIR/bench/vandry_bench [benchmark options...]

By default every benchmark runs five times, interleaved at random with the
others, and the best of the five counts: on a shared machine a burst of
load then hits a figure and its comparator alike, instead of one of them.

Each section is a function that takes the results (benchmark name -> result)
and prints its lines; add one to SECTIONS to extend the report.
"""
import json
import pathlib
import statistics
import subprocess
import sys

TYPES = (0, 1, 2)
CHUNKS = (1, 2, 4, 8, 16, 32, 64, 128, 255)


def rate(results, name):
    """Bytes per second of one benchmark."""
    return results[name]["bytes_per_second"]


def mb(value):
    return f"{value / 1e6:9.1f}"


def ratio_table(results, subject, comparator):
    """One row per payload type, one column per chunk size."""
    print("chunk  " + "".join(f"{c:>7d}" for c in CHUNKS))
    for t in TYPES:
        ratios = [rate(results, f"{subject}/{t}/{c}") / rate(results, f"{comparator}/{t}/{c}") for c in CHUNKS]
        print(f"type {t} " + "".join(f"{r:7.2f}" for r in ratios))


def parser_against_state_machine(results):
    print("parse_port_data against a per-byte state machine: throughput ratio (goal >= 1.00)")
    ratio_table(results, "Parse", "PerByte")
    for t in TYPES:
        sweep = next(r for n, r in results.items() if n.startswith(f"EveryChunkSize/{t}/"))
        print(f"type {t}, every chunk size 1..255: worst ratio {sweep['worst_ratio']:.2f} "
              f"at chunk {int(sweep['worst_chunk'])}")


def parser_against_records_bound(results):
    print("parse_port_data against the records-only bound (goal >= 20%), beside the same ratio of")
    print("the ceiling, a parser that knows the stream (one payload type, nothing between frames),")
    print("and of the calls alone, an empty export called once per read as parse_port_data is")
    print("type chunk   parse MB/s   bound MB/s   ratio   ceiling   calls alone")
    for t in TYPES:
        bound = rate(results, f"RecordsOnly/{t}")
        for c in (64, 255):
            parse = rate(results, f"Parse/{t}/{c}")
            ceiling = rate(results, f"Ceiling/{t}/{c}")
            calls = rate(results, f"CallsOnly/{t}/{c}")
            print(f"{t:4d} {c:5d}   {mb(parse)}    {mb(bound)}   {100 * parse / bound:5.1f}%"
                  f"    {100 * ceiling / bound:5.1f}%   {100 * calls / bound:6.1f}%")


def adversarial_against_normal(results):
    print("hostile streams against the fastest normal stream at the same chunk size (goal >= 4%)")
    print("stream               chunk     MB/s  normal MB/s   ratio")
    names = sorted({n.split("/")[1] for n in results if n.startswith("Adversarial/")})
    worst = {}
    for name in names:
        for c in (1, 64, 255):
            hostile = rate(results, f"Adversarial/{name}/{c}")
            normal = max(rate(results, f"Parse/{t}/{c}") for t in TYPES)
            ratio = 100 * hostile / normal
            worst[c] = min(worst.get(c, (ratio, name)), (ratio, name))
            print(f"{name:20s} {c:5d} {mb(hostile)}    {mb(normal)}  {ratio:5.1f}%")
    for c, (ratio, name) in sorted(worst.items()):
        print(f"worst at chunk {c}: {name}, {ratio:.1f}%")


def stream_against_parse(results):
    print("vandry_stream_feed (callback copying the records) against parse_port_data: throughput ratio")
    ratio_table(results, "StreamFeed", "Parse")


SECTIONS = [
    parser_against_state_machine,
    parser_against_records_bound,
    adversarial_against_normal,
    stream_against_parse,
]


def main() -> int:
    if len(sys.argv) < 2:
        print(__doc__, file=sys.stderr)
        return 2
    options = sys.argv[2:] or ["--benchmark_min_time=0.1", "--benchmark_repetitions=5",
                               "--benchmark_enable_random_interleaving=true"]
    out = subprocess.run(
        [sys.argv[1], "--benchmark_format=json", *options],
        check=True, capture_output=True, text=True).stdout
    results = {}
    for b in json.loads(out)["benchmarks"]:
        if b.get("run_type", "iteration") != "iteration":
            continue
        name = b.get("run_name", b["name"])
        if name not in results or b.get("bytes_per_second", 0) > results[name].get("bytes_per_second", 0):
            results[name] = b
    for section in SECTIONS:
        section(results)
        print()
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
