#!/usr/bin/env python3
"""Turns Google Benchmark JSON files into a Markdown table: each figure next to
its baseline from the same run, with the ratio and the goal.

    report.py PAIRS.tsv RESULT.json [RESULT.json ...] [--plot-data FILE]

PAIRS.tsv lines: figure<TAB>baseline<TAB>kind<TAB>goal, where kind is
"speed" (ratio = baseline time / figure time: above 1 is faster than the
baseline) or "time" (ratio = figure time / baseline time: below 1 is faster).
A baseline of "-" means the figure stands alone. Lines starting with # are
comments. Benchmarks that time each call (counters p50_us and p99_us) are
compared by their median; the table shows their 99th percentile too.

--plot-data writes, per payload size, the throughput in MiB/s of
StreamEncryptFull, BaselineEvpEncrypt, StreamDecryptFull, BaselineEvpDecrypt."""
import json
import sys


def load(paths):
    results = {}
    for path in paths:
        with open(path) as f:
            data = json.load(f)
        for b in data["benchmarks"]:
            if b.get("run_type") == "aggregate" and b.get("aggregate_name") != "median":
                continue
            name = b.get("run_name", b["name"])
            scale = {"ns": 1, "us": 1e3, "ms": 1e6, "s": 1e9}[b.get("time_unit", "ns")]
            entry = {}
            if "p50_us" in b:
                entry["time"] = b["p50_us"] * 1e3
                entry["p99"] = b["p99_us"] * 1e3
            else:
                # Wall time where the benchmark asked for it (file I/O, child
                # processes), else CPU time, which other load on the machine
                # disturbs less.
                key = "real_time" if name.endswith("/real_time") else "cpu_time"
                entry["time"] = b[key] * scale
            if "bytes_per_second" in b:
                entry["mibps"] = b["bytes_per_second"] / (1 << 20)
            results[name] = entry
    return results


def human(ns):
    for unit, div in (("s", 1e9), ("ms", 1e6), ("µs", 1e3)):
        if ns >= div:
            return f"{ns / div:.3g} {unit}"
    return f"{ns:.3g} ns"


def shown(entry):
    text = human(entry["time"])
    if "p99" in entry:
        text = f"median {text}, p99 {human(entry['p99'])}"
    return text


def short(name):
    return name.split("/iterations:")[0]


def table(pairs_path, results):
    lines = ["| Figure | Time | Baseline | Baseline time | Ratio | Goal |",
             "|---|---|---|---|---|---|"]
    for line in open(pairs_path, encoding="utf-8"):
        if not line.strip() or line.startswith("#"):
            continue
        figure, baseline, kind, goal = line.rstrip("\n").split("\t")
        if figure not in results:
            continue
        f = results[figure]
        if baseline == "-" or baseline not in results:
            lines.append(f"| {short(figure)} | {shown(f)} | – | – | – | {goal} |")
            continue
        b = results[baseline]
        ratio = b["time"] / f["time"] if kind == "speed" else f["time"] / b["time"]
        lines.append(f"| {short(figure)} | {shown(f)} | {short(baseline)} | {shown(b)} | "
                     f"{ratio:.2f} | {goal} |")
    return "\n".join(lines)


def plot_data(results, path):
    series = ["StreamEncryptFull", "BaselineEvpEncrypt", "StreamDecryptFull", "BaselineEvpDecrypt"]
    sizes = sorted({int(n.split("/")[1]) for n in results
                    if n.split("/")[0] in series and n.split("/")[1].isdigit()})
    with open(path, "w") as out:
        out.write("# bytes\t" + "\t".join(series) + "\n")
        for size in sizes:
            row = [f"{results.get(f'{s}/{size}', {}).get('mibps', float('nan')):.1f}"
                   for s in series]
            out.write(f"{size}\t" + "\t".join(row) + "\n")


def main():
    args = sys.argv[1:]
    plot_path = None
    if "--plot-data" in args:
        i = args.index("--plot-data")
        plot_path = args[i + 1]
        del args[i:i + 2]
    pairs_path, *paths = args
    results = load(paths)
    print(table(pairs_path, results))
    if plot_path:
        plot_data(results, plot_path)


if __name__ == "__main__":
    main()
