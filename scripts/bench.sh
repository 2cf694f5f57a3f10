#!/usr/bin/env bash
# Runs the whole performance suite on this machine and writes bench/RESULTS.md
# (each figure next to its same-run baseline, with the ratio and the goal) and
# bench/throughput.png (container throughput against payload size, same run),
# plus the peak heap of large file operations. Benchmarks report; they never
# fail. Extra arguments go to every benchmark program (e.g.
# --benchmark_filter=Aes; the results then cover only what ran).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
"$root/scripts/install-deps.sh" "$root/scripts/debian-packages.txt" "$root/scripts/bench-packages.txt"
"$root/scripts/build.sh" release >/dev/null
out="$root/build/release/bench-results"
mkdir -p "$out"
export ZQ_BENCH_DIR=${ZQ_BENCH_DIR:-$out}
results=()
for program in "$root"/build/release/bench/zq_*_bench; do
  name=$(basename "$program")
  echo "=== $name ===" >&2
  "$program" --benchmark_out="$out/$name.json" --benchmark_out_format=json "$@" >&2
  results+=("$out/$name.json")
done

report="$root/bench/RESULTS.md"
{
  echo "# Benchmark results"
  echo
  echo "Written by \`scripts/bench.sh\` on $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores" \
       "($(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | xargs)), load before the run" \
       "$(cut -d' ' -f1-3 /proc/loadavg). Ratios compare figures measured in the same run:" \
       "\"speed\" ratios above 1 and \"time\" ratios below 1 mean faster than the baseline." \
       "Settings figures take turns with their baselines in one process, round after round" \
       "(bench/Interleaved.h): times are medians of per-round medians of single calls, a ratio" \
       "is the median of the per-round ratios, shown with their 10th to 90th percentile. Files" \
       "in ZQ_BENCH_DIR, on $(df --output=fstype "$ZQ_BENCH_DIR" | tail -1)."
  echo
  python3 "$root/bench/report.py" "$root/bench/pairs.tsv" "${results[@]}" \
    --plot-data "$out/throughput.tsv"
  echo
  echo "## Container throughput"
  echo
  echo "![Container throughput against payload size](throughput.png)"
  echo
  echo "## Heap"
  echo
  "$root/bench/heap-profile.sh" "$root/build/release/tools/zqutil" "$out/heap"
} >"$report.tmp"
mv "$report.tmp" "$report"
gnuplot -e "data='$out/throughput.tsv'; out='$root/bench/throughput.png'" "$root/bench/throughput.gp"
cat "$report"
