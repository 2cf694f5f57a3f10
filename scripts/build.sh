#!/usr/bin/env bash
# Configures and builds one variant into build/<variant>: all of it, or only
# the CMake targets named after the variant.
#   scripts/build.sh release   optimised build (demo, benchmarks, tests)
#   scripts/build.sh asan      AddressSanitizer + UndefinedBehaviorSanitizer build
# The release build links the static libzqutils and the asan build the shared
# one, so the test suite runs against both forms of the library.
#   scripts/build.sh tsan      ThreadSanitizer build (tests only)
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
variant=${1:-release}
case "$variant" in
  release) flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo) ;;
  asan) flags=(-DCMAKE_BUILD_TYPE=Debug -DZQ_SANITIZE=ON -DZQ_BUILD_BENCH=OFF -DBUILD_SHARED_LIBS=ON) ;;
  tsan) flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DZQ_SANITIZE_THREAD=ON -DZQ_BUILD_BENCH=OFF
               -DZQ_BUILD_EXAMPLES=OFF) ;;
  *) echo "usage: $0 release|asan|tsan [target...]" >&2; exit 2 ;;
esac
shift $(( $# > 0 ? 1 : 0 ))
targets=()
for target in "$@"; do targets+=(--target "$target"); done
jobs=$(nproc 2>/dev/null || echo 2)
cmake -S "$root" -B "$root/build/$variant" "${flags[@]}" -DZQ_WERROR=ON >/dev/null
cmake --build "$root/build/$variant" -j "$jobs" "${targets[@]}"
