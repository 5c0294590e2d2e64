#!/usr/bin/env bash
# Installs what is missing, builds, and starts Sonquarry. Arguments go to the program.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh --build-only
scripts/build.sh build -DCMAKE_BUILD_TYPE=RelWithDebInfo >&2
if [ -x build/src/app/sonquarry ]; then exec build/src/app/sonquarry "$@"; fi
exec build/src/app/sonquarry-scan "$@"
