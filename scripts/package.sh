#!/usr/bin/env bash
# Builds the Debian package: scripts/package.sh [BUILD_DIR]
# Without BUILD_DIR: a Release build of the programs alone in build-package/ (configured with
# Debian's hardening flags on first use). Prints the .deb's path as the last line.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build-package}

missing=()
for t in cmake ninja help2man rsvg-convert dpkg-shlibdeps dpkg-buildflags gzip; do
  command -v "$t" >/dev/null || missing+=("$t")
done
[ ${#missing[@]} -eq 0 ] || { echo "package.sh: missing ${missing[*]}: run scripts/install-deps.sh" >&2; exit 1; }

if [ ! -f "$build/CMakeCache.txt" ]; then
  launcher=()
  ! command -v ccache >/dev/null || launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  CXXFLAGS="$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)" \
  LDFLAGS="$(dpkg-buildflags --get LDFLAGS)" \
    cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DSONQUARRY_TESTS=OFF \
    -DSONQUARRY_BENCH=OFF "${launcher[@]}" >/dev/null
fi
# The man pages and icons come from tools found at configure time: a tree configured without
# them would make a package without them.
grep -q '^HELP2MAN:FILEPATH=/' "$build/CMakeCache.txt" && grep -q '^RSVG_CONVERT:FILEPATH=/' "$build/CMakeCache.txt" ||
  cmake "$build" >/dev/null
cmake --build "$build" -j "${SQ_JOBS:-2}" >&2
rm -f "$build"/sonquarry_*.deb
(cd "$build" && cpack -G DEB >&2)
ls "$build"/sonquarry_*.deb
