#!/usr/bin/env bash
# Installs what is missing, builds, and starts Sonquarry. Arguments go to the program.
# Until the window exists this is sonquarry-scan; without arguments it scans as the window would:
# the stored settings, and the per-user list file read before and written back after the scan.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh --build-only
scripts/build.sh build -DCMAKE_BUILD_TYPE=RelWithDebInfo >&2
if [ -x build/src/app/sonquarry ]; then exec build/src/app/sonquarry "$@"; fi
if [ $# -eq 0 ]; then
  list="${XDG_DATA_HOME:-$HOME/.local/share}/sonquarry/Sonquarry.lst"
  mkdir -p "$(dirname "$list")"
  echo "sonquarry-scan --settings --list $list (see --help for more)" >&2
  set -- --settings --list "$list"
fi
exec build/src/app/sonquarry-scan "$@"
