#!/usr/bin/env bash
# Installs the Debian packages that are missing from the given lists (default:
# scripts/debian-packages.txt). As root it runs apt-get; otherwise it names
# what to install and fails.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
lists=("$@")
[[ ${#lists[@]} -eq 0 ]] && lists=("$here/debian-packages.txt")
mapfile -t wanted < <(cat "${lists[@]}" | grep -v -E '^\s*(#|$)')

missing=()
for package in "${wanted[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$package")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

if [[ $(id -u) -ne 0 ]]; then
  echo "Missing Debian packages: ${missing[*]}" >&2
  echo "Run this script as root, or: sudo apt-get install -y ${missing[*]}" >&2
  exit 1
fi
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -q
apt-get install -y -q --no-install-recommends "${missing[@]}"
