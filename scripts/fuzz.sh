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

# A small quarantine keeps ASan's own memory far below the RSS cap, whatever
# the caller's ASAN_OPTIONS say (later settings win). Near the cap, the leak
# check at exit can push the RSS over it, and libFuzzer's out-of-memory report
# then stops the world a second time and hangs the process for good.
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}quarantine_size_mb=32:detect_leaks=1"
# Whatever still hangs a fuzzer is cut off and reported as a failure.
grace=180
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
  # Inputs stay within a few KiB, so any single allocation of 1 MiB or more is
  # a reader trusting a size field (readers may cost the input plus 64 KiB);
  # the RSS cap is about twice what a healthy run peaks at.
  limits=(-rss_limit_mb=384 -malloc_limit_mb=1 -timeout=2)
  if [[ -d "$root/fuzz/regressions/$target" ]]; then
    echo "=== $target: regression inputs ==="
    timeout -k 10 "$grace" "$program" "${limits[@]}" "$root/fuzz/regressions/$target"/* || status=1
  fi
  echo "=== $target: ${seconds}s ==="
  code=0
  timeout -k 10 $((seconds + grace)) "$program" "${limits[@]}" "${dict[@]}" \
    -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$artifacts" \
    "$work" "$root/fuzz/corpus/$target" 2>"$build/$target.log" || code=$?
  if ((code != 0)); then
    tail -n 60 "$build/$target.log"
    if ((code == 124 || code == 137)); then
      echo "!!! $target did not finish within ${grace}s of its time and was stopped" >&2
    else
      echo "!!! $target found a fault; the input is in $artifacts" >&2
    fi
    status=1
  else
    grep -E '^(stat::number_of_executed_units|stat::peak_rss_mb|#[0-9]+ *DONE)' "$build/$target.log" || true
  fi
done
exit $status
