#!/usr/bin/env python3
"""Turns Google Benchmark JSON files into a Markdown table: each figure next to
its baseline from the same run, with the ratio and the goal.

    report.py PAIRS.tsv RESULT.json [RESULT.json ...]

PAIRS.tsv lines: figure<TAB>baseline<TAB>kind<TAB>goal, where kind is
"speed" (ratio = baseline time / figure time: above 1 is faster than the
baseline) or "time" (ratio = figure time / baseline time: below 1 is faster).
Lines starting with # are comments."""
import json
import sys


def load(paths):
    times = {}
    for path in paths:
        with open(path) as f:
            data = json.load(f)
        for b in data["benchmarks"]:
            if b.get("run_type") == "aggregate" and b.get("aggregate_name") != "median":
                continue
            name = b["run_name"] if "run_name" in b else b["name"]
            scale = {"ns": 1, "us": 1e3, "ms": 1e6, "s": 1e9}[b.get("time_unit", "ns")]
            # Wall time where the benchmark asked for it (file I/O, child
            # processes), else CPU time, which other load on the machine
            # disturbs less.
            key = "real_time" if name.endswith("/real_time") else "cpu_time"
            times[name] = b[key] * scale
    return times


def human(ns):
    for unit, div in (("s", 1e9), ("ms", 1e6), ("µs", 1e3)):
        if ns >= div:
            return f"{ns / div:.3g} {unit}"
    return f"{ns:.3g} ns"


def main():
    pairs_path, *results = sys.argv[1:]
    times = load(results)
    print("| Figure | Time | Baseline | Baseline time | Ratio | Goal |")
    print("|---|---|---|---|---|---|")
    for line in open(pairs_path):
        if not line.strip() or line.startswith("#"):
            continue
        figure, baseline, kind, goal = line.rstrip("\n").split("\t")
        if figure not in times:
            continue
        t = times[figure]
        if baseline == "-" or baseline not in times:
            print(f"| {figure} | {human(t)} | – | – | – | {goal} |")
            continue
        b = times[baseline]
        ratio = b / t if kind == "speed" else t / b
        print(f"| {figure} | {human(t)} | {baseline} | {human(b)} | {ratio:.2f} | {goal} |")


if __name__ == "__main__":
    main()
