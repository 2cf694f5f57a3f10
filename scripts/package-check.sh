#!/usr/bin/env bash
# Checks the toolkit the way its users get it:
#   1. installs the static build (build/release) and a shared build
#      (build/package) into temporary prefixes, and checks what was installed:
#      the public headers only, in include/zqutils, the soname, the exported
#      symbols (our API and nothing of the internals), what pkg-config prints,
#      `zqutil --version`;
#   2. builds examples/consumer against each prefix with CMake (find_package)
#      and with pkg-config (its Makefile), and runs it, checking that it links
#      the library the way it should (static: no libzqutils.so; shared: the
#      one of that prefix), and statically from the shared prefix, which holds
#      the archive too;
#   3. packs build/package with cpack into the Debian packages
#      libzqutils<soname version>, libzqutils-dev and zqutil, runs lintian on
#      them (no error, warning or pedantic issue), checks their declared dependencies,
#      Multi-Arch fields and contents, and that zqutil records no search path,
#      installs them with apt-get, runs /usr/bin/zqutil --version and the
#      consumer built both ways against /usr, shared and static, checks what
#      pkg-config prints there, and purges the packages again.
# Step 3 installs a package, so it needs root (as CI runs); as a normal user
# the .deb is built and inspected but not installed. Fails on the first
# failed check; leaves no package installed and no files outside build/.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
jobs=$(nproc 2>/dev/null || echo 2)
work=$(mktemp -d "${TMPDIR:-/tmp}/zq-package-check.XXXXXX")
installed_deb=0
packages=()

cleanup() {
  if [[ $installed_deb -eq 1 ]]; then
    echo "--- removing the packages"
    DEBIAN_FRONTEND=noninteractive apt-get purge -y -q "${packages[@]}" >/dev/null 2>&1 || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "!!! package check: $*" >&2
  exit 1
}

# The consumer's Config calls stay in the scratch folder, never in a home.
export ZQ_PREFERENCES_ROOT="$work/preferences"
export ZQ_HOST_ID=package-check
unset CMAKE_PREFIX_PATH PKG_CONFIG_PATH LD_LIBRARY_PATH

echo "=== package check: builds"
"$root/scripts/build.sh" release
"$root/scripts/build.sh" package
package="$root/build/package"
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$package/CMakeCache.txt")
[[ -n "$version" ]] || fail "no project version in $package/CMakeCache.txt"

# check_version <zqutil>: the tool reports the project's version.
check_version() {
  local reported
  reported=$("$1" --version) || fail "$1 --version failed"
  [[ "$(head -n 1 <<<"$reported")" == "zqutil $version" ]] ||
    fail "$1 --version says '$reported', not 'zqutil $version'"
  grep -q -x 'key pair: default, fingerprint [0-9a-f]\{8\}' <<<"$reported" ||
    fail "$1 --version does not name the default key pair: '$reported'"
  echo "$1 --version: $(tr '\n' ' ' <<<"$reported")"
}

# check_links <program> static|shared <expected library folder>
check_links() {
  local program=$1 kind=$2 libdir=$3 resolved
  if [[ $kind == static ]]; then
    if readelf -d "$program" | grep -q 'NEEDED.*libzqutils'; then
      fail "$program links a shared libzqutils, not the static one"
    fi
  else
    # Real paths: with a merged /usr, the loader may name /lib for /usr/lib.
    resolved=$(ldd "$program" | awk '/libzqutils/ { print $3 }')
    resolved=$(readlink -f "$resolved")
    [[ "$resolved" == "$(readlink -f "$libdir")"/libzqutils.so.* ]] ||
      fail "$program loads libzqutils from '$resolved', not from $libdir"
  fi
}

# check_pkg_config <PKG_CONFIG_PATH or empty> <include folder> <library folder or empty> [more]
# zqutils.pc gives absolute folders from its prefix: none for the system's
# own, which pkg-config leaves out. `more`: what follows -lzqutils (a static
# library that is all there is requires its dependencies outright).
check_pkg_config() {
  local printed wanted="-I$2/zqutils ${3:+-L$3 }-lzqutils${4:+ $4}"
  printed=$(PKG_CONFIG_PATH=$1 pkg-config --cflags --libs zqutils) || fail "pkg-config fails: $printed"
  printed=$(xargs <<<"$printed")
  [[ "$printed" == "$wanted" ]] || fail "pkg-config --cflags --libs zqutils: '$printed', not '$wanted'"
  printed=$(PKG_CONFIG_PATH=$1 pkg-config --static --libs zqutils)
  [[ " $printed " == *" -lcrypto "* && " $printed " == *" -lplist-2.0 "* ]] ||
    fail "pkg-config --static --libs zqutils omits the static library's dependencies: '$printed'"
  echo "pkg-config: $wanted; --static: ${printed#*-lzqutils }"
}

# build_consumers <label> <prefix or empty for the system> static|shared [pkg-config]
# Builds and runs examples/consumer with CMake and with pkg-config (only with
# pkg-config when asked: the CMake package offers the library it was built as).
build_consumers() {
  local label=$1 prefix=$2 kind=$3 only=${4:-} libdir pcdir out cmake_args=() make_env=() static=0
  out="$work/consumer-$label"
  mkdir -p "$out"
  if [[ -n "$prefix" ]]; then
    pcdir=$(dirname "$(find "$prefix" -name zqutils.pc)")
    cmake_args=(-DCMAKE_PREFIX_PATH="$prefix")
    make_env=(PKG_CONFIG_PATH="$pcdir")
  else
    pcdir=$(pkg-config --variable=pcfiledir zqutils)
  fi
  libdir=$(cd "$pcdir/.." && pwd)
  [[ $kind == static ]] && static=1

  if [[ $only != pkg-config ]]; then
    echo "--- consumer ($label) with CMake"
    cmake -S "$root/examples/consumer" -B "$out/cmake" "${cmake_args[@]}" >/dev/null
    cmake --build "$out/cmake"
    check_links "$out/cmake/consumer" "$kind" "$libdir"
    "$out/cmake/consumer"
  fi

  echo "--- consumer ($label) with pkg-config"
  env "${make_env[@]}" make -s -C "$root/examples/consumer" OUT="$out/pkg-config" STATIC=$static
  if [[ $kind == shared && -n "$prefix" ]]; then
    # A plain command line records no search path: say where the library is.
    LD_LIBRARY_PATH="$libdir" check_links "$out/pkg-config" "$kind" "$libdir"
    LD_LIBRARY_PATH="$libdir" "$out/pkg-config"
  else
    check_links "$out/pkg-config" "$kind" "$libdir"
    "$out/pkg-config"
  fi
}

# The public headers: the FILE_SET of CMakeLists.txt, their one list.
mapfile -t public_headers < <(sed -n '/FILE_SET HEADERS/,/)/p' "$root/CMakeLists.txt" |
  grep -o 'utils/[A-Za-z/]*\.h' | sort)
[[ ${#public_headers[@]} -gt 0 ]] || fail "no public headers found in CMakeLists.txt"

# check_headers <include folder>: exactly the public headers, at their paths
# in the toolkit's own folder.
check_headers() {
  local found expected
  found=$(cd "$1" && find . -type f | sort)
  expected=$(printf './zqutils/%s\n' "${public_headers[@]}" | sort)
  [[ "$found" == "$expected" ]] || fail "installed headers differ from the public ones:
$found"
}

# check_exports <libzqutils.so>: only the public API leaves the library, plus
# instances of the C++ library's templates and Boost's exception type
# information, which stay visible whatever the visibility setting.
check_exports() {
  local symbols unexpected name
  symbols=$(nm -D --defined-only "$1" | cut -d' ' -f3- | c++filt)
  unexpected=$(
    grep -F 'ZQ::' <<<"$symbols" | grep -v -E \
      -e '^ZQ::RVL::Utils::(Crypto::[A-Za-z]+(\[abi:cxx11\])?\(|Config::|ConfigStatus::|GUID::|PreferenceDomainName\(|LocatePreferenceFiles\(|ListPreferenceDomains\(|ListPreferenceKeys\(|ListPreferenceValues\(|PreferenceKindName\(|JsonString(\[abi:cxx11\])?\(|JsonValue(\[abi:cxx11\])?\(|ExportPreferences\(|ImportPreferences\(|operator<<\()' \
      -e '^std::hash<ZQ::RVL::Utils::GUID>::operator\(\)' || true
    grep -v -F 'ZQ::' <<<"$symbols" | grep -v -E 'std::|boost::' || true)
  [[ -z "$unexpected" ]] || fail "$1 exports more than the API:
$unexpected"
  for name in Crypto::Encrypt Crypto::Decrypt Crypto::EncryptDecryptLight Crypto::StreamEncrypt \
      Crypto::StreamDecrypt Crypto::StreamPlainSize Crypto::FilePlainSize Crypto::FileEncrypt \
      Crypto::FileDecrypt Crypto::StreamEncryptDecryptLight Crypto::DecryptStreamInit \
      Crypto::DecryptStreamChunk Crypto::DecryptStreamDeinit \
      Crypto::StreamEncryptDecryptChunkLight Crypto::SerializeImpl Crypto::SerializeLightImpl \
      Crypto::DeserializeImpl Crypto::DeserializeLightImpl Crypto::SerializedLengthImpl \
      Config::Config Config::GetString Config::GetString32 Config::GetString64 \
      Config::GetValue Config::GetData Config::SetString Config::SetValue Config::SetData \
      Config::Delete Config::GetKeys ConfigStatus::ConfigStatus ConfigStatus::Message GUID::Create GUID::Equal GUID::Before GUID::ToString \
      PreferenceDomainName LocatePreferenceFiles ListPreferenceDomains ListPreferenceKeys ExportPreferences \
      ImportPreferences Crypto::KeyPairIsDefault \
      Crypto::KeyPairFingerprint 'operator<<'; do
    grep -q -F "ZQ::RVL::Utils::$name" <<<"$symbols" || fail "$1 does not export $name"
  done
  grep -q -F 'std::hash<ZQ::RVL::Utils::GUID>::operator()' <<<"$symbols" ||
    fail "$1 does not export std::hash<GUID>"
  echo "$1: exports $(grep -c '^ZQ::\|^std::hash<ZQ' <<<"$symbols") API symbols," \
    "$(grep -v -c '^ZQ::\|^std::hash<ZQ' <<<"$symbols") C++ library and Boost ones, nothing else"
}

echo "=== package check: static install"
static="$work/static #tree"  # a space and a "#" in the prefix, which pkg-config must escape
cmake --install "$root/build/release" --prefix "$static" >/dev/null
check_headers "$static/include"
[[ -f "$static/lib/libzqutils.a" ]] || fail "no libzqutils.a in $static/lib"
[[ -z "$(find "$static" -name 'libzqutils.so*' -o -name 'libzqutils0*')" ]] ||
  fail "the static install holds a shared library, or the runtime package's files"
[[ -f "$static/lib/cmake/ZQUtils/ZQUtilsConfig.cmake" ]] || fail "no CMake package in $static"
check_version "$static/bin/zqutil"
if readelf -d "$static/bin/zqutil" | grep -E 'R(UN)?PATH'; then
  fail "the static build's zqutil records a library search path, though it loads none of the tree"
fi
check_pkg_config "$static/lib/pkgconfig" "$static/include" "$static/lib" "-lcrypto -lplist-2.0"
build_consumers static "$static" static

echo "=== package check: shared install"
shared="$work/shared"
cmake --install "$package" --prefix "$shared" >/dev/null
check_headers "$shared/include"
library=$(find "$shared" -name 'libzqutils.so.*.*.*')
[[ -n "$library" ]] || fail "no versioned libzqutils.so in $shared"
[[ -f "$(dirname "$library")/libzqutils.a" ]] || fail "no libzqutils.a beside $library"
soname=$(readelf -d "$library" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
[[ "$soname" == libzqutils.so.* && -e "$(dirname "$library")/$soname" ]] ||
  fail "$library has soname '$soname', not installed beside it"
echo "$library: soname $soname"
check_exports "$library"
# Installed outside the system's folders, the tool finds the library beside
# it (built for /usr, it records the search path only when installed elsewhere).
check_version "$shared/bin/zqutil"
check_pkg_config "$(dirname "$library")/pkgconfig" "$shared/include" "$(dirname "$library")"
build_consumers shared "$shared" shared
build_consumers shared-static "$shared" static pkg-config

echo "=== package check: Debian packages"
runtime=libzqutils${soname#libzqutils.so.}  # the library package is named after its soname
packages=("$runtime" libzqutils-dev zqutil)
rm -f "$package"/*.deb
(cd "$package" && cpack -G DEB >/dev/null)
debs=()
for name in "${packages[@]}"; do
  debs+=("$(ls "$package/${name}_${version}"_*.deb)") || fail "cpack made no $name package"
done
echo "--- lintian"
lintian_out=$(lintian --fail-on error,warning,pedantic --display-info --pedantic "${debs[@]}" 2>&1) ||
  fail "lintian found errors, warnings or pedantic issues:
$lintian_out"
echo "$lintian_out"
! grep -q 'hardening-' <<<"$lintian_out" || fail "a package is built without the hardening flags"

# check_deb <package> <wanted dependency...> -- <wanted file pattern...>
check_deb() {
  local deb name=$1 depends names contents wanted
  shift
  deb=$(ls "$package/${name}_${version}"_*.deb)
  depends=$(dpkg-deb -f "$deb" Depends)
  echo "$(basename "$deb"): Depends: $depends"
  names=$(sed -e 's/ *([^)]*)//g' -e 's/, */\n/g' <<<"$depends")
  while [[ $1 != -- ]]; do
    grep -q -x -F "$1" <<<"$names" || fail "$deb does not depend on $1"
    shift
  done
  shift
  contents=$(dpkg-deb -c "$deb" | awk '{ print $6 }')
  for wanted in "$@" "./usr/share/doc/$name/copyright" "./usr/share/doc/$name/changelog.gz"; do
    grep -q -E "$wanted" <<<"$contents" || fail "$deb lacks $wanted"
  done
  if grep -E '/include/.*\.h$' <<<"$contents" | sed 's|^\./usr/include/zqutils/||' |
      grep -v -x -F -f <(printf '%s\n' "${public_headers[@]}"); then
    fail "$deb ships private headers, or headers outside /usr/include/zqutils"
  fi
}
# check_multi_arch <package> <wanted Multi-Arch field> (dpkg-deb says "no" for none)
check_multi_arch() {
  local field
  field=$(dpkg-deb -f "$(ls "$package/${1}_${version}"_*.deb)" Multi-Arch)
  [[ "$field" == "$2" ]] || fail "$1 has Multi-Arch '$field', not '$2'"
}
check_deb "$runtime" libc6 libssl3 libplist3 libstdc++6 -- "lib/.*/libzqutils.so.$version"
check_deb libzqutils-dev "$runtime" libssl-dev libplist-dev -- \
  ./usr/include/zqutils/utils/guid/GUID.h ./usr/include/zqutils/utils/Export.h \
  "lib/.*/libzqutils.so$" "lib/.*/libzqutils.a$" "lib/.*/cmake/ZQUtils/ZQUtilsConfig.cmake" \
  "lib/.*/pkgconfig/zqutils.pc"
check_deb zqutil "$runtime" libc6 libstdc++6 -- ./usr/bin/zqutil ./usr/share/man/man1/zqutil.1.gz \
  ./usr/share/bash-completion/completions/zqutil
check_multi_arch "$runtime" same
check_multi_arch libzqutils-dev same
check_multi_arch zqutil no
# Installed-Size is what the files take, as dpkg-gencontrol counts it (the
# packages are stripped after CPack counted them).
for deb in "${debs[@]}"; do
  rm -rf "$work/size" && mkdir "$work/size" && dpkg-deb -x "$deb" "$work/size"
  counted=$(find "$work/size" -mindepth 1 \( -type f -printf 'f %s\n' \) -o -printf 'o 0\n' |
    awk '$1 == "f" { kib += int(($2 + 1023) / 1024); next } { kib += 1 } END { print kib + 0 }')
  [[ "$(dpkg-deb -f "$deb" Installed-Size)" == "$counted" ]] ||
    fail "$deb: Installed-Size $(dpkg-deb -f "$deb" Installed-Size), but its files take $counted KiB"
done
# The packaged tool finds the library where the loader looks anyway.
dpkg-deb -x "$(ls "$package/zqutil_${version}"_*.deb)" "$work/zqutil-deb"
if readelf -d "$work/zqutil-deb/usr/bin/zqutil" | grep -E 'R(UN)?PATH'; then
  fail "the packaged zqutil records a library search path"
fi
# The manual page carries the project's version.
zcat "$work/zqutil-deb/usr/share/man/man1/zqutil.1.gz" | head -n 1 | grep -q -F "Utils $version\"" ||
  fail "the manual page does not name version $version"
[[ $(dpkg-deb -c "${debs[0]}" | awk '{ print $6 }' | grep -c -v '/$') -eq 5 ]] ||
  fail "$runtime holds more than the library, its link, copyright, changelog and overrides"
dpkg-deb --ctrl-tarfile "${debs[0]}" | tar -xO ./triggers | grep -q -x 'activate-noawait ldconfig' ||
  fail "$runtime has no ldconfig trigger"

if [[ $(id -u) -ne 0 ]]; then
  echo "=== package check: not root, so the .deb was built and inspected but not installed"
  exit 0
fi
export DEBIAN_FRONTEND=noninteractive
# is_installed <package>...: true when any of them is installed.
is_installed() {
  dpkg-query -W -f='${Status}\n' "$@" 2>/dev/null | grep -q 'ok installed'
}
if is_installed "${packages[@]}" zqutils; then
  echo "--- the packages are installed already (an interrupted run?): purging them first"
  apt-get purge -y -q "${packages[@]}" zqutils >/dev/null 2>&1 || true
fi
installed_deb=1
apt-get install -y -q --no-install-recommends "${debs[@]}" >/dev/null
[[ "$(command -v zqutil)" == /usr/bin/zqutil ]] || fail "zqutil is not /usr/bin/zqutil"
[[ -e /usr/share/bash-completion/completions/zqutil ]] || fail "no bash completion installed"
check_version zqutil
check_pkg_config "" /usr/include ""
build_consumers system "" shared
build_consumers system-static "" static pkg-config
apt-get purge -y -q "${packages[@]}" >/dev/null
installed_deb=0
if is_installed "${packages[@]}" || [[ -e /usr/bin/zqutil ]]; then
  fail "the packages are still installed after the purge"
fi
echo "=== package check: the installed trees and the .deb packages work; they are removed again"
