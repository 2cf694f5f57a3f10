#!/usr/bin/env bash
# The quick start: installs missing Debian packages (as root), builds the
# toolkit and runs its end-to-end demo (zqutil demo; arguments go to it).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
"$root/scripts/install-deps.sh"
"$root/scripts/build.sh" release
exec "$root/build/release/tools/zqutil" demo "$@"
