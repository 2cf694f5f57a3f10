#!/usr/bin/env bash
# KeyPairTest.sh <source folder> <work folder> <zqutil of this build>
# Builds the library alone with another key pair and checks that containers
# do not cross between the two builds: each is refused or reads as noise in
# the other, while each build reads its own. Also checks the other build's
# fingerprint against Python's hashlib, and that a malformed key is refused
# when the build is configured.
set -euo pipefail
source=$1 work=$2 zqutil=$3
key=00112233445566778899aabbccddeeff
light=F0E1D2C3B4A5968778695A4B3C2D1E0F
fail() { echo "key pair test: $*" >&2; exit 1; }

configure() {
  cmake -S "$source/tests/tools/keypair" -B "$1" -DZQ_SOURCE_DIR="$source" \
    -DCMAKE_BUILD_TYPE=Release "${@:2}"
}
if configure "$work/malformed" -DZQ_CRYPTO_KEY=0011 >"$work.log" 2>&1; then
  fail "a 4-digit ZQ_CRYPTO_KEY was accepted"
fi
grep -q "ZQ_CRYPTO_KEY must be 32 hex digits" "$work.log" || fail "no clear error: $(cat "$work.log")"
configure "$work/custom" -DZQ_CRYPTO_KEY=$key -DZQ_LIGHT_KEY=$light >/dev/null
cmake --build "$work/custom" -j "$(nproc)" >/dev/null
probe=$work/custom/probe

expected=$(python3 -c "import hashlib; print(hashlib.sha256(bytes.fromhex('$key$light')).hexdigest()[:8])")
[[ "$("$probe" fingerprint)" == "custom $expected" ]] ||
  fail "fingerprint '$("$probe" fingerprint)', expected 'custom $expected'"
"$zqutil" --version | grep -q "key pair: default" || fail "this build does not say it is default"

cd "$work"
head -c 10000 /dev/urandom >plain
for form in full light; do
  flag=$([[ $form == light ]] && echo --light || true)
  "$zqutil" crypt encrypt $flag plain default.box
  "$probe" encrypt $form plain custom.box
  "$probe" decrypt $form custom.box back && cmp -s back plain || fail "the custom build misreads its own $form container"
  if "$probe" decrypt $form default.box noise 2>/dev/null && cmp -s noise plain; then
    fail "a $form container of the default pair reads under the custom pair"
  fi
  if "$zqutil" crypt decrypt $flag custom.box noise 2>/dev/null && cmp -s noise plain; then
    fail "a $form container of the custom pair reads under the default pair"
  fi
done
echo "key pair test: containers do not cross between key pairs ($expected vs default)"
