#!/usr/bin/env bash
# The Debian package as a user gets it: unpacked into an empty root, validated, and its programs
# run against the test network with an empty home.
#
#   tests/package/installed_test.sh --dir NETDIR [--deb FILE | --build BUILD_DIR] [--keep]
#
# NETDIR: the folder of a test network that is up (tests/testnet/testnet.sh up --dir NETDIR).
# --deb: the package to test; otherwise scripts/package.sh builds it (in BUILD_DIR when given).
# Exits non-zero after printing every check that failed.
set -uo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
src=$(cd "$here/../.." && pwd)
id=org.example.Sonquarry
netdir="" deb="" build="" keep=0
while [ $# -gt 0 ]; do
  case $1 in
    --dir) netdir=$2; shift 2 ;;
    --deb) deb=$2; shift 2 ;;
    --build) build=$2; shift 2 ;;
    --keep) keep=1; shift ;;
    *) echo "usage: $0 --dir NETDIR [--deb FILE | --build BUILD_DIR] [--keep]" >&2; exit 2 ;;
  esac
done
[ -n "$netdir" ] && [ -f "$netdir/testnet.env" ] || { echo "installed_test: --dir names no test network that is up" >&2; exit 2; }

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
pass() { echo "ok: $*"; }
check() { # description command...: passes when the command succeeds
  local what=$1; shift
  local out
  if out=$("$@" 2>&1); then pass "$what"; else fail "$what"; sed 's/^/    /' <<<"$out" | head -40; fi
}

if [ -z "$deb" ]; then
  deb=$("$src/scripts/package.sh" ${build:+"$build"} | tail -1) || { echo "FAIL: scripts/package.sh"; exit 1; }
fi
deb=$(readlink -f "$deb")
work=$(mktemp -d /tmp/sq-installed.XXXXXX)
chmod 755 "$work"
[ $keep = 1 ] && echo "work folder: $work" || trap 'rm -rf "$work"' EXIT
root=$work/root
dpkg-deb -x "$deb" "$root" || { echo "FAIL: dpkg-deb -x $deb"; exit 1; }
version=$(dpkg-deb -f "$deb" Version)
echo "package: $deb ($version)"

# ---- what the package declares and holds
depends=$(dpkg-deb -f "$deb" Depends)
recommends=$(dpkg-deb -f "$deb" Recommends)
check "Depends holds libsmbclient and Qt 6 Widgets ($depends)" \
  grep -Eq 'libsmbclient.*libqt6widgets6|libqt6widgets6.*libsmbclient' <<<"$depends"
check "Recommends VLC with its Samba plugin ($recommends)" grep -Eq '\bvlc\b.*vlc-plugin-samba' <<<"$recommends"
for f in usr/bin/sonquarry usr/bin/sonquarry-scan usr/libexec/sonquarry/sonquarry-smb-worker \
  usr/share/sonquarry/help/html/info.htm usr/share/applications/$id.desktop \
  usr/share/metainfo/$id.metainfo.xml usr/share/icons/hicolor/scalable/apps/$id.svg \
  usr/share/man/man1/sonquarry.1.gz usr/share/man/man1/sonquarry-scan.1.gz \
  usr/share/doc/sonquarry/copyright usr/share/doc/sonquarry/changelog.gz; do
  [ -f "$root/$f" ] || fail "not in the package: /$f"
done
for size in 16 22 24 32 48 64 128 256; do
  png=$root/usr/share/icons/hicolor/${size}x$size/apps/$id.png
  check "icon ${size}x$size" grep -q "PNG image data, $size x $size" <<<"$(file "$png")"
done
check "the desktop entry names the icon $id" grep -qx "Icon=$id" "$root/usr/share/applications/$id.desktop"
check "the metainfo is $id, launched by $id.desktop" grep -q "<launchable type=\"desktop-id\">$id.desktop<" \
  "$root/usr/share/metainfo/$id.metainfo.xml"
check "the metainfo's release is $version" grep -q "<release version=\"$version\"" \
  "$root/usr/share/metainfo/$id.metainfo.xml"
for p in sonquarry sonquarry-scan; do
  check "$p --version prints $version" grep -qx "$p $version" <<<"$("$root/usr/bin/$p" --version)"
  check "man -l renders $p.1" sh -c "MANWIDTH=80 man -l '$root/usr/share/man/man1/$p.1.gz' | grep -q -- --version"
done

# ---- validators
check "desktop-file-validate" desktop-file-validate "$root/usr/share/applications/$id.desktop"
check "appstreamcli validate --no-net" appstreamcli validate --no-net "$root/usr/share/metainfo/$id.metainfo.xml"
check "lintian: no errors" lintian --fail-on error "$deb"

# ---- the programs on the test network, each run with an empty home
# shellcheck disable=SC1091
. "$netdir/testnet.env"
share_host=SQALPHA share=music
# Every .mp3 of the share as \\HOST\share\dir\name, the form both programs show.
expected=$work/expected.txt
awk -F'\t' -v h="$share_host" -v s="$share" 'tolower($1) == tolower(h) && $3 == s && tolower($4) ~ /\.mp3$/ {
  print "\\\\" h "\\" s "\\" $4 }' "$netdir/manifest.tsv" | sort >"$expected"
[ -s "$expected" ] || fail "no .mp3 of \\\\$share_host\\$share in $netdir/manifest.tsv"

run_client() { # home-name program args...: runs in the test network with an empty home
  local home=$work/$1; shift
  mkdir -p "$home/home" "$home/run"
  chmod 700 "$home/run"
  "$src/tests/testnet/testnet.sh" exec --dir "$netdir" -- env -u XDG_CONFIG_HOME -u XDG_DATA_HOME \
    -u XDG_CACHE_HOME -u DISPLAY -u WAYLAND_DISPLAY HOME="$home/home" XDG_RUNTIME_DIR="$home/run" "$@"
}

same_files() { # what found-file
  if diff "$expected" "$2" >"$work/diff.txt"; then
    pass "$1 finds the $(wc -l <"$expected") files of \\\\$share_host\\$share"
  else
    fail "$1: the files of \\\\$share_host\\$share differ (< on the server, > found)"
    head -20 "$work/diff.txt" | sed 's/^/    /'
  fi
}

run_client scan-home "$root/usr/bin/sonquarry-scan" --allow-computer "$share_host" --allow-share "$share" \
  --format paths >"$work/scan.out" 2>"$work/scan.err"
rc=$?
[ $rc = 0 ] || { fail "sonquarry-scan exited $rc"; sed 's/^/    /' "$work/scan.err"; }
sort "$work/scan.out" >"$work/scan.txt"
same_files "sonquarry-scan" "$work/scan.txt"

# The window, driven from inside by a plugin of the test (built here against the system's Qt).
driver=$work/driver
cmake -S "$here/driver" -B "$driver" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null &&
  cmake --build "$driver" >/dev/null || { fail "building the test driver"; exit 1; }
# With SQ_SCREENSHOT_DIR set (and DISPLAY, e.g. under xvfb-run) the first window also keeps its
# About box there, with the icon the unpacked hicolor theme gives it.
run_window() { # home-name [env...]: the window's search, its output in $work/home-name.out
  local name=$1; shift
  run_client "$name" env QT_QPA_PLATFORM=offscreen XDG_DATA_DIRS="$root/usr/share:/usr/share" \
    QT_PLUGIN_PATH="$driver/plugins" QT_QPA_GENERIC_PLUGINS=sqdriver "$@" \
    timeout 600 "$root/usr/bin/sonquarry" >"$work/$name.out" 2>"$work/$name.err"
}
shots=()
[ -z "${SQ_SCREENSHOT_DIR:-}" ] || shots=(SQ_SCREENSHOT_DIR="$(readlink -f "$SQ_SCREENSHOT_DIR")"
  ${DISPLAY:+QT_QPA_PLATFORM=xcb DISPLAY=$DISPLAY})
run_window window-home "${shots[@]}"
rc=$?
[ $rc = 0 ] || { fail "the window exited $rc"; tail -20 "$work/window-home.err" | sed 's/^/    /'; }
check "the window's search completed" grep -q "^message: Scan completed" "$work/window-home.out"
sed -n 's/^row: \([^\t]*\)\t[^\t]*\t\(.*\)$/\2\1/p' "$work/window-home.out" |
  grep -iF "\\\\$share_host\\$share\\" | sort >"$work/window.txt"
same_files "the window" "$work/window.txt"

# Without the worker: both programs say so, and the window marks no row.
rm "$root/usr/libexec/sonquarry/sonquarry-smb-worker"
run_window no-worker-home
check "without the worker the window says so" grep -q "^message: .*sonquarry-smb-worker" "$work/no-worker-home.out"
check "without the worker the window does not report a search" \
  sh -c "! grep -q '^message: Scan completed' '$work/no-worker-home.out'"
run_client scan-no-worker "$root/usr/bin/sonquarry-scan" --ip "$SQ_ALPHA_IP" >/dev/null 2>"$work/scan-no-worker.err"
rc=$?
check "without the worker sonquarry-scan exits 1 (it did $rc) and says why" \
  sh -c "[ $rc = 1 ] && grep -q sonquarry-smb-worker '$work/scan-no-worker.err'"

if [ $failures -gt 0 ]; then
  echo "installed_test: $failures check(s) failed"
  exit 1
fi
echo "installed_test: all checks passed"
