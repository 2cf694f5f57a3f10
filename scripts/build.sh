#!/usr/bin/env bash
# Configures and builds one variant into build/<variant>: all of it, or only
# the CMake targets named after the variant.
#   scripts/build.sh release   optimised build (demo, benchmarks, tests)
#   scripts/build.sh asan      AddressSanitizer + UndefinedBehaviorSanitizer build
# The release build links the static libzqutils and the asan build the shared
# one, so the test suite runs against both forms of the library.
#   scripts/build.sh tsan      ThreadSanitizer build (tests only)
#   scripts/build.sh package   what the Debian packages hold: the shared library
#                              (and its static twin) and zqutil for /usr, with
#                              Debian's hardening flags; `cpack -G DEB` in
#                              build/package then makes the .deb files
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
variant=${1:-release}
case "$variant" in
  release) flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo) ;;
  asan) flags=(-DCMAKE_BUILD_TYPE=Debug -DZQ_SANITIZE=ON -DZQ_BUILD_BENCH=OFF -DBUILD_SHARED_LIBS=ON) ;;
  tsan) flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DZQ_SANITIZE_THREAD=ON -DZQ_BUILD_BENCH=OFF
               -DZQ_BUILD_EXAMPLES=OFF) ;;
  package)
    # Debian's hardening flags (fortified calls, stack protector, read-only
    # relocations bound at load), without its -g: the packages ship stripped.
    export DEB_BUILD_MAINT_OPTIONS=hardening=+all
    cxx="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS | sed 's/\(^\| \)-g\( \|$\)/ /')"
    ld=$(dpkg-buildflags --get LDFLAGS)
    flags=(-DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=ON -DCMAKE_INSTALL_PREFIX=/usr
           -DCMAKE_CXX_FLAGS="$cxx" -DCMAKE_SHARED_LINKER_FLAGS="$ld" -DCMAKE_EXE_LINKER_FLAGS="$ld"
           -DZQ_BUILD_TESTS=OFF -DZQ_BUILD_EXAMPLES=OFF -DZQ_BUILD_BENCH=OFF) ;;
  *) echo "usage: $0 release|asan|tsan|package [target...]" >&2; exit 2 ;;
esac
shift $(( $# > 0 ? 1 : 0 ))
targets=()
for target in "$@"; do targets+=(--target "$target"); done
jobs=$(nproc 2>/dev/null || echo 2)
cmake -S "$root" -B "$root/build/$variant" "${flags[@]}" -DZQ_WERROR=ON >/dev/null
cmake --build "$root/build/$variant" -j "$jobs" "${targets[@]}"
