#!/usr/bin/env python3
"""Runs the benchmarks once and prints, for every benchmark X that has an X_Baseline
measured in the same run, the time of each, their difference and their ratio."""
import json
import subprocess
import sys

binary = sys.argv[1] if len(sys.argv) > 1 else "build/release/bench/quillon_bench"
extra = sys.argv[2:]
out = subprocess.run([binary, "--benchmark_format=json", "--benchmark_repetitions=5",
                      "--benchmark_report_aggregates_only=true",
                      "--benchmark_enable_random_interleaving=true", *extra],
                     check=True, capture_output=True, text=True).stdout
runs = {}
for b in json.loads(out)["benchmarks"]:
    if b.get("aggregate_name") == "median":
        runs[b["run_name"]] = b
for name, b in sorted(runs.items()):
    base = runs.get(name + "_Baseline")
    if base is None:
        continue
    t, tb = b["real_time"], base["real_time"]
    unit = b["time_unit"]
    print(f"{name}: {t:.2f} {unit} vs baseline {tb:.2f} {unit}: "
          f"+{t - tb:.2f} {unit}, ratio {t / tb:.2f}")
