#!/usr/bin/env python3
"""Turns Google Benchmark JSON files into Markdown tables: each figure next to
its baseline from the same run, with the ratio and the goal.

    report.py PAIRS.tsv RESULT.json [RESULT.json ...] [--plot-data FILE]

PAIRS.tsv lines: figure<TAB>baseline<TAB>kind<TAB>goal, where kind is
"speed" (ratio = baseline time / figure time: above 1 is faster than the
baseline) or "time" (ratio = figure time / baseline time: below 1 is faster).
A baseline of "-" means the figure stands alone. A line "## Title" starts a
table of its own under that heading; a table none of whose figures ran is
left out. Other lines starting with # are comments.

Figures come in two forms:
- Benchmarks run one after the other. Those that time each call (counters
  p50_us and p99_us) are compared by their median; the table shows their
  99th percentile too. Their ratio divides figures measured at different
  moments, and the table says so.
- Contenders of an interleaved benchmark (bench/Interleaved.h), which took
  turns with their baselines in batches, round after round: counters
  "us:NAME" and, for each pair, "ratio:FIGURE:BASELINE" (the median of the
  round ratios) with "p10:", "p90:", "min:" and "max:". The table shows the
  median ratio and the 10th to 90th percentile of the round ratios.

--plot-data writes, per payload size, the throughput in MiB/s of
StreamEncryptFull, BaselineEvpEncrypt, StreamDecryptFull, BaselineEvpDecrypt."""
import json
import sys


def load(paths):
    """Returns (results, pairs, rounds): figures by name, the round ratios of
    interleaved pairs by (figure, baseline), and the rounds of each
    interleaved contender."""
    results = {}
    pairs = {}
    rounds = {}
    for path in paths:
        with open(path) as f:
            data = json.load(f)
        for b in data["benchmarks"]:
            if b.get("run_type") == "aggregate" and b.get("aggregate_name") != "median":
                continue
            if b.get("error_occurred"):
                continue
            contenders = {k[3:]: v for k, v in b.items() if k.startswith("us:")}
            if contenders:
                for name, micros in contenders.items():
                    results[name] = {"time": micros * 1e3, "interleaved": True}
                    rounds[name] = int(b.get("rounds", 0))
                for key, value in b.items():
                    stat, _, pair = key.partition(":")
                    if stat in ("ratio", "p10", "p90", "min", "max") and pair:
                        figure, baseline = split_pair(pair, contenders)
                        pairs.setdefault((figure, baseline), {})[stat] = value
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
    return results, pairs, rounds


def split_pair(pair, contenders):
    """Splits "FIGURE:BASELINE" where both are names of `contenders` (names
    hold no colon, but this does not rely on it)."""
    for figure in contenders:
        if pair.startswith(figure + ":") and pair[len(figure) + 1:] in contenders:
            return figure, pair[len(figure) + 1:]
    raise ValueError(f"no contenders make the pair {pair!r}")


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


def sections(pairs_path):
    """Yields (title, rows) for each table of PAIRS.tsv; the first may have
    no title."""
    title, rows = None, []
    for line in open(pairs_path, encoding="utf-8"):
        if line.startswith("## "):
            if rows:
                yield title, rows
            title, rows = line[3:].strip(), []
            continue
        if not line.strip() or line.startswith("#"):
            continue
        rows.append(line.rstrip("\n").split("\t"))
    if rows:
        yield title, rows


def table(rows, results, pairs):
    interleaved = any((f, b) in pairs for f, b, _, _ in rows)
    head = ["Figure", "Time", "Baseline", "Baseline time", "Ratio"]
    if interleaved:
        head.append("Round ratios, 10th–90th percentile")
    head.append("Goal")
    lines = ["| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
    for figure, baseline, kind, goal in rows:
        if figure not in results:
            continue
        f = results[figure]
        cells = [short(figure), shown(f)]
        if baseline == "-" or baseline not in results:
            cells += ["–", "–", "–"] + (["–"] if interleaved else [])
        elif (figure, baseline) in pairs:
            p = pairs[(figure, baseline)]
            if kind == "speed":  # the counters hold figure / baseline
                p = {k: 1 / v for k, v in p.items()}
                p["p10"], p["p90"] = p["p90"], p["p10"]
            cells += [short(baseline), shown(results[baseline]), f"{p['ratio']:.2f}",
                      f"{p['p10']:.2f}–{p['p90']:.2f}"]
        else:
            b = results[baseline]
            ratio = b["time"] / f["time"] if kind == "speed" else f["time"] / b["time"]
            cells += [short(baseline), shown(b), f"{ratio:.2f}"]
            if interleaved:
                cells.append("not interleaved")
        cells.append(goal)
        lines.append("| " + " | ".join(cells) + " |")
    return "\n".join(lines) if len(lines) > 2 else None


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
    results, pairs, rounds = load(paths)
    tables = []
    for title, rows in sections(pairs_path):
        text = table(rows, results, pairs)
        if text is None:
            continue
        if title:
            text = f"## {title}\n\n{text}"
        tables.append(text)
    counts = sorted(set(rounds.values()))
    if counts:
        tables.append("Interleaved figures: " + " or ".join(map(str, counts)) +
                      " rounds, after one round of warm-up.")
    print("\n\n".join(tables))
    if plot_path:
        plot_data(results, plot_path)


if __name__ == "__main__":
    main()
