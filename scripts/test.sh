#!/usr/bin/env bash
# Runs every check, failing when any fails:
#   0. the file layer lint on the sources (scripts/lint-files.py);
#   1. the tests in the optimised build (static libzqutils) and in the
#      AddressSanitizer + UndefinedBehaviorSanitizer build (shared libzqutils,
#      LeakSanitizer included), the power-cut tests among them when FUSE is
#      usable; among them the same lint on each build's compiled objects
#      (scripts/lint-symbols.py, the CTest test zq_lint_file_symbols);
#   2. the tests in the ThreadSanitizer build;
#   3. every test program of the optimised build once under valgrind memcheck;
#   4. the installed trees, the consumers and the Debian package
#      (scripts/package-check.sh);
#   5. each fuzz target: its regression inputs, then ZQ_FUZZ_SECONDS (default
#      60) of fuzzing.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
"$root/scripts/install-deps.sh"
jobs=$(nproc 2>/dev/null || echo 2)
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1:suppressions=$root/tests/tsan.supp}
started=$SECONDS
step() { echo "=== $* ($(( (SECONDS - started) / 60 ))m$(( (SECONDS - started) % 60 ))s) ==="; }

step "file layer lint: no raw file calls outside utils/file/"
"$root/scripts/lint-files.py" "$root"

# The power-cut tests (zq_power_cut_fs_tests, zq_config_power_cut_tests,
# zq_zqutil_power_cut_tests) mount a FUSE file system and skip themselves
# without one.
if [[ -r /dev/fuse && -w /dev/fuse && ( $(id -u) -eq 0 || -x /usr/bin/fusermount3 ) ]]; then
  echo "=== power-cut tests: FUSE is usable; they run in every build ==="
else
  echo "=== power-cut tests SKIPPED: they need a readable and writable /dev/fuse and root (or fusermount3) ==="
fi
for variant in release asan tsan; do
  step "$variant build"
  "$root/scripts/build.sh" "$variant"
  step "$variant tests"
  (cd "$root/build/$variant" && ctest --output-on-failure -j "$jobs" --timeout 900)
done
step "valgrind memcheck over the optimised build's test programs"
"$root/scripts/memcheck.py" "$root/build/release" "$jobs"
step "installs, consumers and the Debian package"
"$root/scripts/package-check.sh"
step "fuzz targets, ${ZQ_FUZZ_SECONDS:-60}s each"
"$root/scripts/fuzz.sh" "${ZQ_FUZZ_SECONDS:-60}"
step "all checks passed"
