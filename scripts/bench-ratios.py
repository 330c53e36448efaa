#!/usr/bin/env python3
"""Runs the benchmarks and prints, for every benchmark X that has an X_Baseline
measured in the same run, the time of each, their difference and their ratio
(medians over five interleaved repetitions), in wall-clock and in CPU time.

    bench-ratios.py [BINARY] [--runs N] [benchmark options...]

With --runs N the whole run is repeated N times and each ratio is given as the
median of the N runs with its spread, (largest - smallest) / median: a ratio
whose spread is within 10% is a stable figure. On a loaded machine the CPU-time
ratio is the steadier one; the wall-clock ratio also counts waiting for a core."""
import json
import statistics
import subprocess
import sys

args = sys.argv[1:]
binary = "build/release/bench/quillon_bench"
if args and not args[0].startswith("-"):
    binary = args.pop(0)
runs = 1
if "--runs" in args:
    at = args.index("--runs")
    runs = int(args[at + 1])
    del args[at:at + 2]


def one_run():
    out = subprocess.run([binary, "--benchmark_format=json", "--benchmark_repetitions=5",
                          "--benchmark_report_aggregates_only=true",
                          "--benchmark_enable_random_interleaving=true", *args],
                         check=True, capture_output=True, text=True).stdout
    medians = {}
    for b in json.loads(out)["benchmarks"]:
        if b.get("aggregate_name") == "median":
            medians[b["run_name"]] = b
    pairs = {}
    for name, b in medians.items():
        base = medians.get(name + "_Baseline")
        if base is not None:
            pairs[name] = (b, base)
    return pairs


results = [one_run() for _ in range(runs)]
for name in sorted(results[0]):
    b, base = results[0][name]
    unit = b["time_unit"]
    if runs == 1:
        t, tb = b["real_time"], base["real_time"]
        c, cb = b["cpu_time"], base["cpu_time"]
        print(f"{name}: {t:.2f} {unit} vs baseline {tb:.2f} {unit}: +{t - tb:.2f} {unit}, ratio {t / tb:.2f}"
              f" (CPU: {c:.2f} vs {cb:.2f}, ratio {c / cb:.2f})")
        continue
    real = [r[name][0]["real_time"] / r[name][1]["real_time"] for r in results if name in r]
    cpu = [r[name][0]["cpu_time"] / r[name][1]["cpu_time"] for r in results if name in r]
    diff = [r[name][0]["real_time"] - r[name][1]["real_time"] for r in results if name in r]
    cdiff = [r[name][0]["cpu_time"] - r[name][1]["cpu_time"] for r in results if name in r]

    def spread(values):
        return (max(values) - min(values)) / statistics.median(values)

    print(f"{name}: ratio {statistics.median(real):.2f} (runs {min(real):.2f}..{max(real):.2f}, "
          f"spread {100 * spread(real):.0f}%), +{statistics.median(diff):.2f} {unit}; "
          f"CPU ratio {statistics.median(cpu):.2f} (runs {min(cpu):.2f}..{max(cpu):.2f}, "
          f"spread {100 * spread(cpu):.0f}%), +{statistics.median(cdiff):.2f} {unit}")
