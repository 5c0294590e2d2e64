#!/usr/bin/env bash
# clang-tidy with the checks of .clang-tidy (naming, include hygiene) over src/, from the compile
# commands of a configured and built tree: scripts/tidy.sh [BUILD_DIR] (default build).
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build}
[ -f "$dir/compile_commands.json" ] || { echo "no $dir/compile_commands.json: configure $dir first"; exit 2; }
# The Win32 backend's files are not in a Linux tree's compile commands: the Windows build has them.
out=$(git ls-files 'src/*.cpp' ':!:src/*_win32.cpp' | xargs -P "$(nproc)" -n 8 clang-tidy -p "$dir" --quiet --extra-arg=-Wno-unknown-warning-option 2>&1 |
  grep -E '(error|warning): .*\[' | sort -u || true)
if [ -n "$out" ]; then echo "$out"; echo "clang-tidy: $(echo "$out" | wc -l) finding(s)"; exit 1; fi
echo "clang-tidy: src/ clean"
