#!/usr/bin/env bash
# Peak heap of encrypting, decrypting and chunk-decrypting a 256 MiB file with
# the toolkit (through zqutil), measured by heaptrack. Prints a Markdown table.
#   bench/heap-profile.sh <zqutil binary> <work folder>
set -euo pipefail
zqutil=$1
work=$2
mkdir -p "$work"
plain="$work/heap.plain"
head -c $((256 << 20)) /dev/urandom >"$plain"

peak() {  # peak heap of one command, in bytes
  local name=$1
  shift
  heaptrack -o "$work/heaptrack.$name" "$@" >/dev/null 2>&1
  heaptrack_print "$work/heaptrack.$name".* 2>/dev/null |
    sed -n 's/^peak heap memory consumption: //p' | head -n 1
}

echo "| Operation on a 256 MiB file | Peak heap (heaptrack) |"
echo "|---|---|"
echo "| crypt encrypt (StreamEncrypt) | $(peak encrypt "$zqutil" crypt encrypt "$plain" "$work/heap.zqc") |"
echo "| crypt decrypt (StreamDecrypt) | $(peak decrypt "$zqutil" crypt decrypt "$work/heap.zqc" "$work/heap.out") |"
echo "| crypt chunks, 64 KiB chunks (DecryptStreamChunk) | $(peak chunks "$zqutil" crypt chunks "$work/heap.zqc" "$work/heap.out") |"
cmp -s "$plain" "$work/heap.out" || echo "(the round trip did not give the same bytes)"
rm -f "$plain" "$work/heap.zqc" "$work/heap.out" "$work"/heaptrack.*
