#!/usr/bin/env bash
# Runs every test twice: in the optimised build (static libzqutils) and in the
# AddressSanitizer + UndefinedBehaviorSanitizer build (shared libzqutils); then
# checks the installed trees and the Debian package (scripts/package-check.sh),
# and runs each fuzz target for ZQ_FUZZ_SECONDS (default 60). Fails when any
# test, check or target fails.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
"$root/scripts/install-deps.sh"
jobs=$(nproc 2>/dev/null || echo 2)
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
for variant in release asan; do
  echo "=== $variant build ==="
  "$root/scripts/build.sh" "$variant"
  (cd "$root/build/$variant" && ctest --output-on-failure -j "$jobs" --timeout 900)
done
echo "=== installs, consumers and the Debian package ==="
"$root/scripts/package-check.sh"
echo "=== fuzz targets, ${ZQ_FUZZ_SECONDS:-60}s each ==="
"$root/scripts/fuzz.sh" "${ZQ_FUZZ_SECONDS:-60}"
echo "=== all tests passed in both builds, the packages work; the fuzz targets found nothing ==="
