#!/usr/bin/env bash
# Configures and builds one build tree: scripts/build.sh DIR [--target T]... [cmake options...]
# (every target unless some are named).
set -euo pipefail
cd "$(dirname "$0")/.."
dir=$1; shift
targets=()
while [ "${1:-}" = --target ]; do targets+=(--target "$2"); shift 2; done
cmake -S . -B "$dir" -G Ninja -DSONQUARRY_WERROR=ON "$@" >/dev/null
cmake --build "$dir" -j "$(nproc)" "${targets[@]}"
