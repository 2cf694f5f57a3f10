#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan+UBSan) and runs each one for a
# bounded time, starting from its committed seed corpus and replaying its
# committed regression inputs first. Fails when any target finds a fault.
#   scripts/fuzz.sh [seconds per target, default 60] [target name filter]
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
seconds=${1:-60}
filter=${2:-}
build="$root/build/fuzz"
CXX=${FUZZ_CXX:-clang++} cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DZQ_BUILD_FUZZERS=ON -DZQ_BUILD_TESTS=OFF -DZQ_BUILD_BENCH=OFF -DZQ_BUILD_EXAMPLES=OFF \
  -DZQ_BUILD_TOOLS=OFF -DZQ_INSTALL=OFF \
  >/dev/null
cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)"

# A small quarantine keeps ASan's own memory well under the RSS cap.
export ASAN_OPTIONS=${ASAN_OPTIONS:-quarantine_size_mb=32:detect_leaks=1}
status=0
for program in "$build"/fuzz/zq_fuzz_*; do
  name=$(basename "$program")
  target=${name#zq_fuzz_}
  [[ -n "$filter" && "$target" != *"$filter"* ]] && continue
  work="$build/corpus/$target"
  artifacts="$build/artifacts/$target/"
  mkdir -p "$work" "$artifacts"
  dict=()
  [[ -f "$root/fuzz/$target.dict" ]] && dict=(-dict="$root/fuzz/$target.dict")
  [[ -f "$root/fuzz/crypto.dict" && ${#dict[@]} -eq 0 ]] && dict=(-dict="$root/fuzz/crypto.dict")
  limits=(-rss_limit_mb=512 -malloc_limit_mb=256 -timeout=10)
  if [[ -d "$root/fuzz/regressions/$target" ]]; then
    echo "=== $target: regression inputs ==="
    "$program" "${limits[@]}" "$root/fuzz/regressions/$target"/* || status=1
  fi
  echo "=== $target: ${seconds}s ==="
  if ! "$program" "${limits[@]}" "${dict[@]}" -max_total_time="$seconds" -print_final_stats=1 \
      -artifact_prefix="$artifacts" "$work" "$root/fuzz/corpus/$target" 2>"$build/$target.log"; then
    tail -n 60 "$build/$target.log"
    echo "!!! $target found a fault; the input is in $artifacts" >&2
    status=1
  else
    grep -E '^(stat::number_of_executed_units|stat::peak_rss_mb|#[0-9]+ *DONE)' "$build/$target.log" || true
  fi
done
exit $status
