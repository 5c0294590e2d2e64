#!/usr/bin/env bash
# Installs what is missing, builds, and starts the Sonquarry window. Arguments go to the program.
# `scripts/run.sh --scan [OPTION]...` runs the headless sonquarry-scan instead (see --help).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh --build-only
# The three programs only, in a tree of their own that the test stages never reconfigure.
. scripts/ccache-env.sh
scripts/build.sh build-run --target sonquarry --target sonquarry-scan --target sonquarry-smb-worker \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSONQUARRY_TESTS=OFF -DSONQUARRY_BENCH=OFF "${cache[@]}" >&2
if [ "${1:-}" = "--scan" ]; then
  shift
  exec build-run/src/app/sonquarry-scan "$@"
fi
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
  cat >&2 <<'MSG'
Sonquarry is a window program, but there is no display here (neither DISPLAY nor WAYLAND_DISPLAY
is set). Either
  - run it from a desktop session, or over ssh with X forwarding (ssh -X), or
  - run it on a virtual display:  xvfb-run -a scripts/run.sh   (nothing visible; for tests), or
  - scan without a window:        scripts/run.sh --scan --settings --list ~/.local/share/sonquarry/Sonquarry.lst
MSG
  exit 1
fi
exec build-run/src/app/sonquarry "$@"
