#!/usr/bin/env bash
# Installs what building and testing Sonquarry needs on Debian 12; quiet when all is there.
set -euo pipefail

build_pkgs=(g++ cmake ninja-build pkg-config git libsmbclient-dev libxml2-dev libcurl4-openssl-dev zlib1g-dev
            qt6-base-dev libqt6svg6 libtag1-dev libsqlite3-dev libavahi-client-dev libsecret-1-dev)
test_pkgs=(ccache lld libgtest-dev googletest libgmock-dev libbenchmark-dev clang libclang-rt-14-dev clang-format clang-tidy
           samba smbclient python3 python3-impacket nmap iproute2 procps psmisc util-linux
           wsdd xvfb imagemagick vlc-bin vlc-plugin-base vlc-plugin-samba chromium
           help2man librsvg2-bin dpkg-dev fakeroot file lintian desktop-file-utils appstream man-db
           xdg-utils ffmpeg python3-mutagen dbus-daemon avahi-daemon avahi-utils python3-zeroconf
           dbus gnome-keyring libsecret-tools python3-dbus python3-gi
           fonts-droid-fallback)
# The Windows build: MinGW-w64 cross-compiles, Wine runs the result; only `--windows` wants them
# (Wine is some 600 MB), which the `windows` stage of scripts/test.sh passes.
windows_pkgs=(g++-mingw-w64-x86-64-posix mingw-w64-tools wine64 zip)

want=("${build_pkgs[@]}")
case "${1:-}" in
  --build-only) ;;
  --windows) want+=("${test_pkgs[@]}" "${windows_pkgs[@]}") ;;
  *) want+=("${test_pkgs[@]}") ;;
esac

missing=()
for p in "${want[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
echo "Installing: ${missing[*]}" >&2
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
