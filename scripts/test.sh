#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test:
#   format   clang-format over every C++ file; the includes against the rooms table of HACKING.md
#   asan     AddressSanitizer+UBSan build of everything; all tests (unit, GUI, integration)
#   release  optimised build of everything, warnings as errors; the unit and GUI tests; the Debian
#            package made from it, unpacked and run against the test network; clang-tidy
#   tsan     ThreadSanitizer build of the threaded tests; those tests
#   fuzz     clang build without Qt (the core and the headless programs) and the fuzz targets,
#            each run for FUZZ_SECONDS (10)
#   windows  MinGW-w64 cross build of the core and sonquarry-scan.exe (the Win32 backend); the
#            core's and the backend's unit tests under Wine, in a Wine prefix of the build's own;
#            sonquarry-scan.exe under Wine against the test network, its settings in Wine's registry
# `scripts/test.sh asan tsan` (any of format, asan, release, tsan, fuzz, debug, windows) runs only
# the named stages; `debug` (a plain Debug build and all tests) is for developers and `windows`
# (it installs MinGW-w64 and Wine, some 600 MB) is asked for by name: neither is in the default run.
#
# The stages overlap: while one stage's tests run (they mostly wait on servers and threads), the
# next stage builds at a lower priority. One test network serves every stage and is taken down at
# the end, also on failure. With ccache installed, compiles are cached in
# ${XDG_CACHE_HOME:-~/.cache}/sonquarry-ccache, keyed by paths relative to the clone, so a fresh
# clone on the same machine builds from the cache.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
stages=("$@")
[ ${#stages[@]} -gt 0 ] || stages=(format asan release tsan fuzz)

if [[ " ${stages[*]} " == *" windows "* ]]; then scripts/install-deps.sh --windows; else scripts/install-deps.sh; fi

export CTEST_OUTPUT_ON_FAILURE=1
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0:strict_string_checks=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export LSAN_OPTIONS="suppressions=$root/tests/lsan.supp:print_suppressions=0"
export TSAN_OPTIONS="suppressions=$root/tests/tsan.supp:halt_on_error=1:second_deadlock_stack=1"
jobs=$(nproc)
logs=$root/build-logs
net=$root/build-testnet
mkdir -p "$logs"

. scripts/ccache-env.sh
[ ${#cache[@]} -eq 0 ] || ccache -z >/dev/null
shared_net=(-DSONQUARRY_SHARED_TESTNET=ON -DSONQUARRY_TESTNET_DIR="$net")

# ---- the stages: build_X runs in the foreground, tests_X may run beside the next build

build_format() { :; }
tests_format() {
  local bad
  bad=$(git ls-files '*.cpp' '*.h' | xargs -r clang-format --dry-run -Werror 2>&1 |
    grep -E '^[^ ].*: (error|warning)' | cut -d: -f1 | sort -u || true)
  if [ -n "$bad" ]; then echo "not clang-formatted:"; echo "$bad"; return 1; fi
  # The rooms of src/ and what each may include: the table of HACKING.md.
  python3 scripts/check-layers.py
}
build_asan() {
  scripts/build.sh build-asan -DCMAKE_BUILD_TYPE=Asan -DSONQUARRY_BENCH=OFF "${cache[@]}" "${shared_net[@]}"
}
tests_asan() { ctest --test-dir build-asan -j "$jobs" --timeout 900; }
build_release() { scripts/build.sh build-release -DCMAKE_BUILD_TYPE=Release "${cache[@]}"; }
tests_release() {
  # Each failure counts: a stage runs under "||", where set -e does not stop at the first.
  local rc=0
  ctest --test-dir build-release -j "$jobs" -L 'unit|gui' -LE integration --timeout 900 || rc=$?
  # The Debian package made from this tree, unpacked into an empty root and run on the network.
  tests/package/installed_test.sh --dir "$net" --build build-release || rc=$?
  scripts/tidy.sh build-release || rc=$?
  return $rc
}
build_tsan() {
  scripts/build.sh build-tsan --target sonquarry_threaded_tests -DCMAKE_BUILD_TYPE=Tsan \
    -DSONQUARRY_BENCH=OFF "${cache[@]}" "${shared_net[@]}"
}
tests_tsan() { ctest --test-dir build-tsan -j "$jobs" -L threads --timeout 900; }
build_debug() { scripts/build.sh build -DCMAKE_BUILD_TYPE=Debug "${cache[@]}" "${shared_net[@]}"; }
tests_debug() { ctest --test-dir build -j "$jobs" --timeout 900; }
build_fuzz() {
  CXX=clang++ CC=clang scripts/build.sh build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DSONQUARRY_FUZZ=ON -DSONQUARRY_GUI=OFF -DSONQUARRY_TESTS=OFF -DSONQUARRY_BENCH=OFF "${cache[@]}" \
    -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined"
}
tests_fuzz() {
  local f corpus log rc
  mkdir -p build-fuzz/artifacts
  for f in build-fuzz/fuzz/*_fuzz; do
    [ -x "$f" ] || continue
    corpus=$(mktemp -d)
    # Seeds, where a target has them, get it past the outer layers of its format in seconds.
    [ ! -d "fuzz/corpus/$(basename "$f")" ] || cp "fuzz/corpus/$(basename "$f")"/* "$corpus"/
    log=build-fuzz/artifacts/$(basename "$f").log
    echo "-- $(basename "$f")"
    rc=0
    "$f" -max_total_time="${FUZZ_SECONDS:-10}" -print_final_stats=1 \
      -artifact_prefix=build-fuzz/artifacts/ "$corpus" >"$log" 2>&1 || rc=$?
    rm -rf "$corpus"
    if [ $rc -ne 0 ]; then
      tail -n 40 "$log"
      echo "$(basename "$f") FAILED (exit $rc); reproducer in build-fuzz/artifacts/"
      return 1
    fi
    grep -E '^(stat::number_of_executed_units|stat::new_units_added|stat::peak_rss_mb)' "$log"
  done
}

build_windows() {
  scripts/build.sh build-windows --target sonquarry-scan --target sonquarry_win32_tests \
    -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DCMAKE_BUILD_TYPE=Release -DSONQUARRY_GUI=OFF \
    "${cache[@]}" -DSONQUARRY_TESTNET_DIR="$net"
}
tests_windows() {
  # Wine's own prefix for this tree: its registry is the one the tests write.
  export WINEPREFIX=$root/build-windows/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  local wine=/usr/lib/wine # Debian keeps wine64 and wineserver off the PATH
  [ -f "$WINEPREFIX/system.reg" ] || "$wine/wine64" wineboot -i >/dev/null 2>&1
  local rc=0
  # wine_scan_net_test runs alone, in the test network's client namespace, with a wineserver of
  # its own there.
  ctest --test-dir build-windows -L windows -j 2 --output-on-failure || rc=$?
  "$wine/wineserver" -k 2>/dev/null || true
  return $rc
}

# ---- the one test network

net_pid=""
needs_net() { local s; for s in "${stages[@]}"; do case $s in asan | release | tsan | debug | windows) return 0 ;; esac; done; return 1; }
start_testnet() {
  tests/testnet/testnet.sh up --dir "$net" >"$logs/testnet.log" 2>&1 &
  net_pid=$!
}
await_testnet() {
  # Before the first test stage that needs it (it is up long before the first build ends).
  if [ -n "$net_pid" ]; then
    local rc=0
    wait "$net_pid" || rc=$?
    net_pid=""
    echo "$rc" >"$logs/testnet.rc"
  fi
  [ "$(cat "$logs/testnet.rc" 2>/dev/null)" = 0 ] || { cat "$logs/testnet.log"; echo "the test network did not come up"; return 1; }
}

# ---- timing and the end

times=()
now() { date +%s; }
timed() { # label command...: runs the command and records how long it took
  local label=$1 t0 rc=0
  shift
  t0=$(now)
  "$@" || rc=$?
  times+=("$(printf '%-16s %5d s%s' "$label" $(($(now) - t0)) "$([ $rc -eq 0 ] || echo '  FAILED')")")
  return $rc
}
test_pid=""
test_name=""
start=$(now)
finish() {
  local rc=$?
  [ -z "$test_pid" ] || kill -- "$test_pid" 2>/dev/null || true
  [ -z "$net_pid" ] || wait "$net_pid" 2>/dev/null || true
  if needs_net; then tests/testnet/testnet.sh down --dir "$net" >>"$logs/testnet.log" 2>&1 || true; fi
  echo "== stage times"
  printf '  %s\n' "${times[@]}"
  [ ${#cache[@]} -eq 0 ] || echo "  ccache: $(ccache -s 2>/dev/null | grep -iE '^ *(hits|misses)' | tr -s ' ' | paste -sd' ')"
  echo "whole run: $(($(now) - start)) s, $([ $rc -eq 0 ] && echo 'all stages passed' || echo FAILED)"
}
trap finish EXIT

# A stage's tests run in the background, their output in build-logs/NAME.log, shown when joined.
run_tests_bg() {
  test_name=$1
  (
    rc=0
    timed "tests $1" "tests_$1" >"$logs/$1.log" 2>&1 || rc=$?
    echo "${times[-1]}" >"$logs/$1.time"
    exit $rc
  ) &
  test_pid=$!
}
join_tests() {
  [ -n "$test_pid" ] || return 0
  local rc=0
  wait "$test_pid" || rc=$?
  echo "== tests of $test_name"
  cat "$logs/$test_name.log"
  times+=("$(cat "$logs/$test_name.time" 2>/dev/null || echo "tests $test_name ?")")
  test_pid=""
  return $rc
}

! needs_net || start_testnet
for s in "${stages[@]}"; do
  declare -F "build_$s" >/dev/null || { echo "no stage $s"; exit 2; }
  echo "== build $s"
  # Below the tests that run beside it, so that their time-outs see a responsive machine.
  timed "build $s" nice -n 10 bash -c "$(declare -f "build_$s"); $(declare -p cache shared_net net); build_$s"
  join_tests
  case $s in asan | release | tsan | debug | windows) timed "test network" await_testnet ;; esac
  run_tests_bg "$s"
done
join_tests
