#!/usr/bin/env bash
# Builds the optimised tree and runs every benchmark in bench/, then prints a
# Markdown table of each figure next to its same-run baseline (bench/pairs.tsv).
# Benchmarks report; they never fail. Extra arguments go to every benchmark
# program (for instance --benchmark_filter=Aes).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
"$root/scripts/install-deps.sh"
"$root/scripts/build.sh" release
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
python3 "$root/bench/report.py" "$root/bench/pairs.tsv" "${results[@]}"
