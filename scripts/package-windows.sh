#!/usr/bin/env bash
# Cross-builds sonquarry-scan.exe (Release, MinGW-w64, static runtime) in build-windows/ and zips it
# with the README into build-windows/sonquarry-scan-VERSION-win64.zip.
set -euo pipefail
cd "$(dirname "$0")/.."
command -v x86_64-w64-mingw32-g++-posix >/dev/null && command -v zip >/dev/null ||
  { echo "package-windows.sh: run scripts/install-deps.sh --windows" >&2; exit 1; }
. scripts/ccache-env.sh
scripts/build.sh build-windows --target sonquarry-scan -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
  -DCMAKE_BUILD_TYPE=Release -DSONQUARRY_GUI=OFF "${cache[@]}"
version=$(sed -n 's/^project(Sonquarry VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
stage=build-windows/zip/sonquarry-scan-$version
rm -rf build-windows/zip && mkdir -p "$stage"
cp build-windows/src/app/sonquarry-scan.exe "$stage/"
x86_64-w64-mingw32-strip "$stage/sonquarry-scan.exe"
# Windows readers want CRLF line ends.
sed 's/$/\r/' README.md >"$stage/README.txt"
out=$PWD/build-windows/sonquarry-scan-$version-win64.zip
rm -f "$out"
(cd build-windows/zip && zip -qr "$out" "sonquarry-scan-$version")
echo "$out"
