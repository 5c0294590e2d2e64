#!/usr/bin/env bash
# Tries Sonquarry without a network: starts the bundled test network, opens the window inside its
# client namespace on your display, and takes the network down when the window closes.
# Needs root (network namespaces). Arguments go to the program.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${SQ_TRY_DIR:-/tmp/sq-try}
if [ "$(id -u)" -ne 0 ]; then
  echo "The test network needs root (network namespaces): sudo -E $0" >&2
  exit 1
fi
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
  echo "No display (DISPLAY/WAYLAND_DISPLAY unset): run this from a desktop session (sudo -E keeps" >&2
  echo "DISPLAY), or over ssh -X, or on a virtual display with xvfb-run -a $0" >&2
  exit 1
fi
scripts/install-deps.sh
# The three programs only, in a tree of their own that the test stages never reconfigure.
. scripts/ccache-env.sh
scripts/build.sh build-run --target sonquarry --target sonquarry-scan --target sonquarry-smb-worker \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSONQUARRY_TESTS=OFF -DSONQUARRY_BENCH=OFF "${cache[@]}" >&2
trap 'echo "taking the test network down" >&2; tests/testnet/testnet.sh down --dir "$dir" >/dev/null 2>&1 || true' EXIT
echo "starting the test network in $dir (about a minute)" >&2
tests/testnet/testnet.sh up --dir "$dir" >&2
# Inside the namespace HOME is the client's home: the window keeps its list and settings there.
tests/testnet/testnet.sh exec --dir "$dir" -- env XAUTHORITY="${XAUTHORITY:-$HOME/.Xauthority}" \
  "$PWD/build-run/src/app/sonquarry" "$@"
